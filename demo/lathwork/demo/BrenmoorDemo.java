package lathwork.demo;

import java.util.Arrays;
import lathwork.Brenmoor;
import morlane.CallRecord;

/**
 * A short session against the simulated outside libraries, for a person to read: every step is
 * announced on standard output, and the bridge's own "in DLL: ..." lines appear right after the
 * step that caused them (run it with line-buffered native output, as the demo script does).
 *
 * <p>With {@code --brief}, a few of the same steps only: the demo script runs those second, against
 * the 32-bit simulated libraries, which a 64-bit JVM reaches only through morlane-host32. Whether
 * a library is loaded into the JVM or hosted is the bridge's choice; the session says which.
 */
public final class BrenmoorDemo {
    private static int step = 0;

    private static void say(String text) {
        System.out.println(String.format("%2d. %s", ++step, text));
    }

    private static void note(String text) {
        System.out.println("      " + text);
    }

    private static String mode(int mode) {
        switch (mode) {
            case CallRecord.IN_PROCESS:
                return "in-process (loaded into this JVM)";
            case CallRecord.HOSTED:
                return "hosted (loaded by a morlane-host32 process)";
            default:
                return "not loaded";
        }
    }

    public static void main(String[] args) {
        if (args.length == 1 && args[0].equals("--brief")) {
            brief();
        } else {
            full();
        }
    }

    private static void brief() {
        System.out.println("== PLC link ==");
        say("start: load CVDLL1RZ1.dll");
        Brenmoor.start();
        note("CVDLL1RZ1.dll is " + mode(CallRecord.linkMode()));
        say("open link 0 with selector 0, link 3 with selector 7 (the PLC refuses 7)");
        Brenmoor.open(0, 1, 0, 1000, 3);
        Brenmoor.open(3, 1, 7, 1000, 3);
        int[] block = {100, 200, 300, 400};
        say("write " + Arrays.toString(block) + " to D100..D103 on link 0 and read them back");
        Brenmoor.regWrite(0, 0, 100, block, block.length);
        note("got " + Arrays.toString(Brenmoor.regRead(0, 0, 100, 4)));
        say("close link 0, then finish");
        Brenmoor.close(0);
        Brenmoor.finish();
        note("CVDLL1RZ1.dll is " + mode(CallRecord.linkMode()));

        System.out.println("== Corvane data ==");
        say("cvStart: load CVDAlib.dll");
        Brenmoor.cvStart();
        note("CVDAlib.dll is " + mode(CallRecord.corvaneMode()));
        say("poke and request a text outside ASCII");
        Brenmoor.cvPoke("line1", "operator", "Zoë Łukasz 🙂");
        note("got \"" + Brenmoor.cvRequest("line1", "operator") + "\"");
        say("request an item nobody poked");
        note("got \"" + Brenmoor.cvRequest("line1", "nothing") + "\"");
        Brenmoor.cvFinish();
        System.out.println("== end of demo ==");
    }

    private static void full() {
        System.out.println("== morlane demo: PLC link ==");
        say("runMode before start (the link library is not loaded yet)");
        Brenmoor.runMode(0, 1);

        say("start: load CVDLL1RZ1.dll");
        Brenmoor.start();
        note("CVDLL1RZ1.dll is " + mode(CallRecord.linkMode()));

        say("open link 0 with selector 0, link 1 with selector 1, link 2 with selector 2");
        Brenmoor.open(0, 1, 0, 1000, 3);
        Brenmoor.open(1, 1, 1, 1000, 3);
        Brenmoor.open(2, 1, 2, 1000, 3);
        say("open link 3 with selector 7: handed on as 7, which the PLC refuses");
        Brenmoor.open(3, 1, 7, 1000, 3);

        say("stop mode, download \"conveyor.prg\", run mode on link 0");
        Brenmoor.stopMode(0, 1);
        Brenmoor.downLoad(0, 1, "conveyor.prg");
        Brenmoor.runMode(0, 1);
        say("download while the PLC is running: the PLC refuses it");
        Brenmoor.downLoad(0, 1, "late.prg");

        System.out.println("== registers ==");
        int[] block = {100, 200, 300, 400};
        say("write " + Arrays.toString(block) + " to D100..D103 on link 0");
        Brenmoor.regWrite(0, 0, 100, block, block.length);

        int[] into = {-1, -1, -1, -1, -1, -1};
        say("read 4 words back into a passed int[6] filled with -1");
        Brenmoor.regRead(0, 0, 100, into, 4);
        note("array now " + Arrays.toString(into) + " (last two untouched)");

        say("read 4 words into a new array");
        note("got " + Arrays.toString(Brenmoor.regRead(0, 0, 100, 4)));

        say("write 65535 to D10 and -1 to D11: both are the word 0xFFFF");
        Brenmoor.regWrite(0, 0, 10, 65535);
        Brenmoor.regWrite(0, 0, 11, -1);
        note("D10..D11 read back as " + Arrays.toString(Brenmoor.regRead(0, 0, 10, 2)));

        say("write 7 and 8 to D8190..D8191, then read 4 words from D8190: the last two lie past"
                + " the end of register memory");
        Brenmoor.regWrite(0, 0, 8190, new int[] {7, 8}, 2);
        note("got " + Arrays.toString(Brenmoor.regRead(0, 0, 8190, 4))
                + " (the words read are delivered; those the PLC could not supply read as 0)");

        say("close links 0, 1 and 2, then finish");
        Brenmoor.close(0);
        Brenmoor.close(1);
        Brenmoor.close(2);
        Brenmoor.finish();
        say("regRead after finish: the library is released, the slot is empty");
        note("got " + Arrays.toString(Brenmoor.regRead(0, 0, 100, 2)));

        System.out.println("== Corvane data ==");
        say("cvRequest before cvStart");
        note("got \"" + Brenmoor.cvRequest("line1", "speed") + "\"");

        say("cvStart: load CVDAlib.dll; poke line1/speed = 1250 and request it back");
        Brenmoor.cvStart();
        note("CVDAlib.dll is " + mode(CallRecord.corvaneMode()));
        Brenmoor.cvPoke("line1", "speed", "1250");
        note("got \"" + Brenmoor.cvRequest("line1", "speed") + "\"");

        say("poke and request a text outside ASCII");
        Brenmoor.cvPoke("line1", "operator", "Zoë Łukasz 🙂");
        note("got \"" + Brenmoor.cvRequest("line1", "operator") + "\"");

        say("request an item nobody poked");
        note("got \"" + Brenmoor.cvRequest("line1", "nothing") + "\"");

        say("stop the simulated Corvane application, then poke and request");
        Brenmoor.cvPoke("sim", "state", "stopped");
        Brenmoor.cvPoke("line1", "speed", "900");
        note("got \"" + Brenmoor.cvRequest("line1", "speed") + "\"");
        Brenmoor.cvPoke("sim", "state", "running");
        Brenmoor.cvFinish();
        System.out.println("== end of demo ==");
    }
}

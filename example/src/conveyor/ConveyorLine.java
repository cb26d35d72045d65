package conveyor;

import java.util.Locale;
import morlane.BridgeException;
import morlane.CallRecord;
import morlane.DataAccess;
import morlane.PlcLink;

/**
 * A conveyor line controller: it loads the line's PLC program, starts the PLC, then watches the
 * PLC's status block and reports it to the Corvane application, the way a small shop program
 * would, written against the morlane facade.
 *
 * <pre>
 * ConveyorLine [--cycles N] [--interval MS] [--program FILE]
 * </pre>
 *
 * <p>The register layout below belongs to the line's PLC program; the simulated PLC stores
 * whatever is written, so it plays along. Area 0 holds the data registers there.
 */
public final class ConveyorLine {
    static final int LINK = 0;
    static final int UNIT = 1;
    static final int SELECTOR = 0; // protocol 110
    static final int TIMEOUT_MS = 1000;
    static final int RETRIES = 3;

    static final int DATA = 0;          // register area of the data registers
    static final int STATUS = 0;        // D0..D15: the status block the PLC program keeps
    static final int STATUS_WORDS = 16;
    static final int SENSOR = 3;        // D3: the belt sensor (set it with the watch tool)
    static final int HEARTBEAT = 15;    // D15: our heartbeat, counted up each cycle
    static final int SETPOINTS = 100;   // D100..D102: speed, batch size, direction

    /** The failure that ended the latest run, for the line's tests; null after a clean run. */
    static volatile BridgeException lastFailure;

    public static void main(String[] args) throws InterruptedException {
        int cycles = 5;
        long interval = 500;
        String program = "conveyor.prg";
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
            case "--cycles":
                cycles = Integer.parseInt(args[++i]);
                break;
            case "--interval":
                interval = Long.parseLong(args[++i]);
                break;
            case "--program":
                program = args[++i];
                break;
            default:
                System.err.println("usage: ConveyorLine [--cycles N] [--interval MS] [--program FILE]");
                System.exit(64);
            }
        }
        System.exit(run(cycles, interval, program));
    }

    static int run(int cycles, long interval, String program) throws InterruptedException {
        lastFailure = null;
        // The line can run without the Corvane application's library; it then only logs.
        DataAccess corvane = null;
        try {
            corvane = DataAccess.open();
            log("Corvane data access loaded (%s)", mode(corvane.mode()));
        } catch (BridgeException e) {
            if (!e.isLibraryMissing()) {
                throw e;
            }
            log("Corvane data access not available, running without it: %s", e.getMessage());
        }
        try (PlcLink plc = PlcLink.open(LINK, UNIT, SELECTOR, TIMEOUT_MS, RETRIES)) {
            log("link %d open to unit %d (PLC link library %s)", LINK, UNIT, mode(plc.mode()));
            plc.stopMode();
            plc.download(program);
            plc.runMode();
            log("downloaded %s, PLC running", program);

            update(plc, "conveyor-v2.prg");

            plc.writeRegisters(DATA, SETPOINTS, 1250, 40, 1);
            log("setpoints D%d..D%d = 1250 40 1", SETPOINTS, SETPOINTS + 2);

            for (int cycle = 1; cycle <= cycles; cycle++) {
                plc.writeRegister(DATA, STATUS + HEARTBEAT, cycle);
                int[] status = plc.readRegisters(DATA, STATUS, STATUS_WORDS);
                log("cycle %d  D0..D15 %s", cycle, words(status));
                if (corvane != null) {
                    corvane.poke("line1", "sensor", Integer.toString(status[SENSOR]));
                    corvane.poke("line1", "heartbeat", Integer.toString(status[HEARTBEAT]));
                }
                if (cycle < cycles) {
                    Thread.sleep(interval);
                }
            }
            if (corvane != null) {
                log("Corvane line1/sensor = \"%s\"", corvane.request("line1", "sensor"));
                log("Corvane line1/operator = \"%s\"", operator(corvane));
            }
            plc.stopMode();
            log("PLC stopped, closing the link");
        } catch (BridgeException e) {
            lastFailure = e;
            if (e.isLibraryMissing()) {
                // The operating system's own reason, in process and from the host: a missing
                // file, a missing runtime DLL of the library, a host that cannot start.
                String reason = CallRecord.linkLoadFailure();
                System.err.println("conveyor: the PLC link library cannot be loaded: "
                        + (reason != null ? reason : e.getMessage()));
                System.err.println("conveyor: put CVDLL1RZ1.dll on the library search path");
                return 2;
            }
            System.err.println("conveyor: " + e.getMessage());
            return 1;
        } finally {
            if (corvane != null) {
                corvane.close();
            }
        }
        log("done");
        return 0;
    }

    /**
     * Loads a new program version. The PLC refuses a download while it runs; that is expected
     * here, so the refusal is answered by stopping, downloading and starting again.
     */
    static void update(PlcLink plc, String program) {
        try {
            plc.download(program);
            log("downloaded %s while running", program);
        } catch (BridgeException refused) {
            log("download refused (%s): stopping the PLC for the update", refused.getMessage());
            plc.stopMode();
            plc.download(program);
            plc.runMode();
            log("downloaded %s, PLC running again", program);
        }
    }

    /** The operator's name, if the Corvane application knows one: an unknown item fails. */
    static String operator(DataAccess corvane) {
        try {
            return corvane.request("line1", "operator");
        } catch (BridgeException unknown) {
            corvane.poke("line1", "operator", "Zoë Łukasz");
            return corvane.request("line1", "operator");
        }
    }

    static String mode(int mode) {
        return mode == CallRecord.HOSTED ? "hosted in morlane-host32" : "in-process";
    }

    static String words(int[] words) {
        StringBuilder text = new StringBuilder();
        for (int word : words) {
            text.append(String.format(Locale.ROOT, " %5d", word));
        }
        return text.toString();
    }

    static void log(String format, Object... args) {
        System.out.println(String.format(Locale.ROOT, format, args));
    }
}

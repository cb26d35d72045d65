package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;

/** What the link methods hand to the PLC link library and how they report its failures. */
class LinkControlJvmTest {
    /** Each selector given to open, and the protocol the library receives for it. */
    private static final int[][] SELECTORS = {{0, 110}, {1, 111}, {2, 101}, {3, 3}, {-1, -1},
                                              {110, 110}};

    @Test
    void openTranslatesOnlySelectorsZeroToTwoAndKeepsEveryArgumentInPlace() {
        StringBuilder stdout = new StringBuilder();
        StringBuilder journal = new StringBuilder();
        for (int[] selector : SELECTORS) {
            stdout.append("-- selector ").append(selector[0]).append('\n');
            journal.append("-- selector %d\nCVDLLRZ_Open 1 2 %d 4 5\n"
                    .formatted(selector[0], selector[1]));
        }
        ChildJvm.run(report -> {
            Brenmoor.start();
            for (int[] selector : SELECTORS) {
                // Link 1 is already open after the first call, and 3 and -1 are no protocol of
                // the simulated PLC: only what arrives matters here, not whether it is accepted.
                SimProbe.scriptStatus("CVDLLRZ_Open", 0);
                report.step("selector " + selector[0]);
                Brenmoor.open(1, 2, selector[0], 4, 5);
            }
        }).expect(stdout.toString(), journal.toString());
    }

    /** Each link method: its step, its failure line, its journal line and the call. */
    record LinkMethod(String step, String failure, String journal, Runnable call) {
        String entry() {
            return journal.substring(0, journal.indexOf(' '));
        }
    }

    private static final LinkMethod[] LINK_METHODS = {
        new LinkMethod("open", "in DLL: Open Error\n", "CVDLLRZ_Open 1 1 110 100 3",
                () -> Brenmoor.open(1, 1, 0, 100, 3)),
        new LinkMethod("stopMode", "in DLL: Stop Error\n", "CVDLLRZ_StopMode 0 1",
                () -> Brenmoor.stopMode(0, 1)),
        new LinkMethod("downLoad", "in DLL: Download Error\n",
                "CVDLLRZ_DownLoad 0 1 x662e6d6f74", () -> Brenmoor.downLoad(0, 1, "f.mot")),
        new LinkMethod("runMode", "in DLL: Run Error\n", "CVDLLRZ_RunMode 0 1",
                () -> Brenmoor.runMode(0, 1)),
        new LinkMethod("regWrite(value)", "in DLL: RegWrite Error\n",
                "CVDLLRZ_RegWrite 0 0 20 [5] 1", () -> Brenmoor.regWrite(0, 0, 20, 5)),
        new LinkMethod("regWrite(array)", "in DLL: RegWrite Error\n",
                "CVDLLRZ_RegWrite 0 0 21 [6,7] 2",
                () -> Brenmoor.regWrite(0, 0, 21, new int[] {6, 7}, 2)),
        new LinkMethod("regRead(array)", "in DLL: RegRead Error\n", "CVDLLRZ_RegRead 0 0 20 * 3",
                () -> Brenmoor.regRead(0, 0, 20, new int[3], 3)),
        new LinkMethod("regRead(new)", "in DLL: RegRead Error\n", "CVDLLRZ_RegRead 0 0 20 * 3",
                () -> Brenmoor.regRead(0, 0, 20, 3)),
        new LinkMethod("close", "in DLL: Close Error\n", "CVDLLRZ_Close 1",
                () -> Brenmoor.close(1)),
    };

    private static final int[] FAILURE_STATUSES = {1, -1, Integer.MAX_VALUE};

    @Test
    void everyNonZeroStatusWritesTheMethodsOwnLineOnce() {
        StringBuilder stdout = new StringBuilder();
        StringBuilder journal = new StringBuilder("CVDLLRZ_Open 0 1 110 100 3\n");
        for (int status : FAILURE_STATUSES) {
            for (LinkMethod method : LINK_METHODS) {
                String step = "-- " + method.step() + " " + status + "\n";
                stdout.append(step).append(method.failure());
                journal.append(step).append(method.journal()).append('\n');
            }
        }
        ChildJvm.run(report -> {
            Brenmoor.start();
            Brenmoor.open(0, 1, 0, 100, 3);
            for (int status : FAILURE_STATUSES) {
                for (LinkMethod method : LINK_METHODS) {
                    SimProbe.scriptStatus(method.entry(), status);
                    report.step(method.step() + " " + status);
                    method.call().run();
                }
            }
        }).expect(stdout.toString(), journal.toString());
    }

    @Test
    void downloadNameArrivesAsModifiedUtf8AndNullNeverReachesTheLibrary() {
        // The empty name reaches the library, which refuses it; the null one does not.
        // U+0000 as c0 80, U+1F600 as its two surrogates of three bytes each.
        ChildJvm.run(report -> {
            Brenmoor.start();
            Brenmoor.open(0, 1, 0, 100, 3);
            report.step("name outside ASCII");
            Brenmoor.downLoad(0, 1, "A\u00e9\u6f22\u0000\ud83d\ude00.mot");
            report.step("empty name");
            Brenmoor.downLoad(0, 1, "");
            report.step("null name");
            Brenmoor.downLoad(0, 1, null);
        }).expect("""
                -- name outside ASCII
                -- empty name
                in DLL: Download Error
                -- null name
                in DLL: Download Error
                """, """
                CVDLLRZ_Open 0 1 110 100 3
                -- name outside ASCII
                CVDLLRZ_DownLoad 0 1 x41c3a9e6bca2c080eda0bdedb8802e6d6f74
                -- empty name
                CVDLLRZ_DownLoad 0 1 x
                -- null name
                """);
    }

    @Test
    void aSecondStartKeepsTheLoadedLibraryAndItsOpenLinks() {
        // A library loaded afresh would have every link closed, and the close would fail.
        ChildJvm.run(report -> {
            Brenmoor.start();
            Brenmoor.open(3, 1, 0, 100, 3);
            report.step("start again, finish once");
            Brenmoor.start();
            Brenmoor.finish();
            Brenmoor.close(3);
            report.step("last finish");
            Brenmoor.finish();
            Brenmoor.close(3);
        }).expect("""
                -- start again, finish once
                -- last finish
                in DLL: DLL not found.
                """, """
                CVDLLRZ_Open 3 1 110 100 3
                -- start again, finish once
                CVDLLRZ_Close 3
                -- last finish
                """);
    }
}

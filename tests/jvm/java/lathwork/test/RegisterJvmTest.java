package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.Arrays;
import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;

/** regWrite and regRead in both forms: 16-bit conversions, counts, failures and refused input. */
class RegisterJvmTest {
    /** Start and open link 0, unit 1, outside any step. */
    private static void openLink() {
        Brenmoor.start();
        Brenmoor.open(0, 1, 0, 100, 3);
    }

    /** regRead of link 0 into {@code into}, which it returns. */
    static int[] readInto(int[] into, int area, int address, int count) {
        Brenmoor.regRead(0, area, address, into, count);
        return into;
    }

    /** Each value written, and the word that reaches the library. */
    private static final int[][] CONVERSIONS = {{65535, 65535}, {-1, 65535}, {32768, 32768},
            {-32768, 32768}, {65536, 0}, {70000, 4464}, {Integer.MIN_VALUE, 0}, {0x7ffe1234, 4660}};

    @Test
    void valuesTravelAsTheirLow16BitsAndComeBackUnsigned() {
        StringBuilder journal = new StringBuilder("CVDLLRZ_Open 0 1 110 100 3\n");
        for (int[] conversion : CONVERSIONS) {
            journal.append("-- write %d\nCVDLLRZ_RegWrite 0 0 100 [%d] 1\n"
                    .formatted(conversion[0], conversion[1]));
        }
        ChildJvm.Run run = ChildJvm.run(report -> {
            openLink();
            for (int[] conversion : CONVERSIONS) {
                report.step("write " + conversion[0]);
                Brenmoor.regWrite(0, 0, 100, conversion[0]);
            }
            report.step("write a block");
            Brenmoor.regWrite(0, 0, 200, new int[] {0xFFFF, 0x8000, -1, -32768, 65536, 70000}, 6);
            report.step("read into array");
            report.value("read", readInto(new int[2], 0, 200, 2));
            report.step("read into new array");
            report.value("read", Brenmoor.regRead(0, 0, 200, 2));
        });
        assertEquals("", run.stdout().replaceAll("(?m)^-- .*\n", ""));
        assertEquals(journal + """
                -- write a block
                CVDLLRZ_RegWrite 0 0 200 [65535,32768,65535,32768,0,4464] 6
                -- read into array
                CVDLLRZ_RegRead 0 0 200 * 2
                read [65535, 32768]
                -- read into new array
                CVDLLRZ_RegRead 0 0 200 * 2
                read [65535, 32768]
                """, run.report());
    }

    @Test
    void onlyCountWordsMoveAndTheRestOfTheArrayStaysAsItWas() {
        ChildJvm.Run run = ChildJvm.run(report -> {
            openLink();
            report.step("write 2 of 4");
            int[] source = {1, 2, 3, 4};
            Brenmoor.regWrite(0, 0, 300, source, 2);
            report.value("array", source);
            report.step("fill the registers after them");
            Brenmoor.regWrite(0, 0, 302, new int[] {33, 44}, 2);
            report.step("read 2 into 4");
            report.value("array", readInto(new int[] {9, 9, 9, 9}, 0, 300, 2));
            report.step("write 0");
            int[] one = {5};
            Brenmoor.regWrite(0, 0, 400, one, 0);
            report.value("array", one);
            report.step("read 0 into array");
            report.value("array", readInto(new int[] {7, 7}, 0, 300, 0));
            report.step("read 0 into new array");
            report.value("array", Brenmoor.regRead(0, 0, 300, 0));
        });
        assertEquals("", run.stdout().replaceAll("(?m)^-- .*\n", ""));
        assertEquals("""
                CVDLLRZ_Open 0 1 110 100 3
                -- write 2 of 4
                CVDLLRZ_RegWrite 0 0 300 [1,2] 2
                array [1, 2, 3, 4]
                -- fill the registers after them
                CVDLLRZ_RegWrite 0 0 302 [33,44] 2
                -- read 2 into 4
                CVDLLRZ_RegRead 0 0 300 * 2
                array [1, 2, 9, 9]
                -- write 0
                CVDLLRZ_RegWrite 0 0 400 [] 0
                array [5]
                -- read 0 into array
                CVDLLRZ_RegRead 0 0 300 * 0
                array [7, 7]
                -- read 0 into new array
                CVDLLRZ_RegRead 0 0 300 * 0
                array []
                """, run.report());
    }

    @Test
    void failedReadStillDeliversTheWordsAndUnwrittenWordsReadAsZero() {
        ChildJvm.run(report -> {
            openLink();
            Brenmoor.regWrite(0, 0, 500, new int[] {11, 22}, 2);
            Brenmoor.regWrite(0, 1, 4090, new int[] {1, 2, 3, 4, 4660, 4661}, 6);
            report.step("status 1 into array");
            SimProbe.scriptStatus("CVDLLRZ_RegRead", 1);
            report.value("read", readInto(new int[] {7, 7}, 0, 500, 2));
            report.step("status -1 into new array");
            SimProbe.scriptStatus("CVDLLRZ_RegRead", -1);
            report.value("read", Brenmoor.regRead(0, 0, 500, 2));
            // Link registers end at 4095, so a read of four from 4094 fills only two words. Each
            // partial read follows a full one of the same form, which leaves non-zero words where
            // an uncleared buffer would pick them up again.
            report.step("partly outside into array");
            report.value("read", readInto(new int[] {7, 7, 7, 7}, 1, 4090, 4));
            report.value("read", readInto(new int[] {7, 7, 7, 7}, 1, 4094, 4));
            report.step("partly outside into new array");
            report.value("read", Brenmoor.regRead(0, 1, 4090, 4));
            report.value("read", Brenmoor.regRead(0, 1, 4094, 4));
        }).expect("""
                -- status 1 into array
                in DLL: RegRead Error
                -- status -1 into new array
                in DLL: RegRead Error
                -- partly outside into array
                in DLL: RegRead Error
                -- partly outside into new array
                in DLL: RegRead Error
                """, """
                CVDLLRZ_Open 0 1 110 100 3
                CVDLLRZ_RegWrite 0 0 500 [11,22] 2
                CVDLLRZ_RegWrite 0 1 4090 [1,2,3,4,4660,4661] 6
                -- status 1 into array
                CVDLLRZ_RegRead 0 0 500 * 2
                read [11, 22]
                -- status -1 into new array
                CVDLLRZ_RegRead 0 0 500 * 2
                read [11, 22]
                -- partly outside into array
                CVDLLRZ_RegRead 0 1 4090 * 4
                read [1, 2, 3, 4]
                CVDLLRZ_RegRead 0 1 4094 * 4
                read [4660, 4661, 0, 0]
                -- partly outside into new array
                CVDLLRZ_RegRead 0 1 4090 * 4
                read [1, 2, 3, 4]
                CVDLLRZ_RegRead 0 1 4094 * 4
                read [4660, 4661, 0, 0]
                """);
    }

    @Test
    void badArrayOrCountIsRefusedWithoutCallingTheLibrary() {
        ChildJvm.run(report -> {
            openLink();
            Brenmoor.regWrite(0, 0, 0, new int[] {11, 22, 33}, 3);
            report.step("write null array");
            Brenmoor.regWrite(0, 0, 0, null, 1);
            Brenmoor.regWrite(0, 0, 0, null, 0);
            report.step("write count -1");
            int[] source = {1, 2};
            Brenmoor.regWrite(0, 0, 0, source, -1);
            report.value("array", source);
            report.step("write count 3 of 2");
            Brenmoor.regWrite(0, 0, 0, source, 3);
            report.value("array", source);
            report.step("read null array");
            Brenmoor.regRead(0, 0, 0, null, 1);
            Brenmoor.regRead(0, 0, 0, null, 0);
            report.step("read count -1");
            int[] target = {7, 7};
            report.value("array", readInto(target, 0, 0, -1));
            report.step("read count 3 of 2");
            report.value("array", readInto(target, 0, 0, 3));
            report.step("read new array count -1");
            try {
                report.value("returned", Brenmoor.regRead(0, 0, 0, -1));
            } catch (NegativeArraySizeException e) {
                report.value("threw", e.getClass().getName());
            }
            report.step("still working");
            report.value("read", Brenmoor.regRead(0, 0, 0, 3));
        }).expect("""
                -- write null array
                in DLL: RegWrite Error
                in DLL: RegWrite Error
                -- write count -1
                in DLL: RegWrite Error
                -- write count 3 of 2
                in DLL: RegWrite Error
                -- read null array
                in DLL: RegRead Error
                in DLL: RegRead Error
                -- read count -1
                in DLL: RegRead Error
                -- read count 3 of 2
                in DLL: RegRead Error
                -- read new array count -1
                -- still working
                """, """
                CVDLLRZ_Open 0 1 110 100 3
                CVDLLRZ_RegWrite 0 0 0 [11,22,33] 3
                -- write null array
                -- write count -1
                array [1, 2]
                -- write count 3 of 2
                array [1, 2]
                -- read null array
                -- read count -1
                array [7, 7]
                -- read count 3 of 2
                array [7, 7]
                -- read new array count -1
                threw "java.lang.NegativeArraySizeException"
                -- still working
                CVDLLRZ_RegRead 0 0 0 * 3
                read [11, 22, 33]
                """);
    }

    /** Distinct non-zero words, many of them above 32767. */
    static int[] pattern(int count, int seed) {
        int[] words = new int[count];
        for (int i = 0; i < count; i++) {
            words[i] = ((i * 40503 + seed) & 0xFFFF) | 0x0101;
        }
        return words;
    }

    /** Blocks on either side of what the bridge keeps on its stack (256 words) and beyond. */
    private static final int[] LONG_COUNTS = {255, 256, 257, 1000, 8192};

    @Test
    void longBlocksRoundTripAndUnwrittenWordsReadAsZero() {
        StringBuilder lines = new StringBuilder("CVDLLRZ_Open 0 1 110 100 3\n");
        for (int count : LONG_COUNTS) {
            lines.append(count).append(" into true\n").append(count).append(" new true\n");
        }
        ChildJvm.run(report -> {
            openLink();
            SimProbe.setRecording(false); // thousands of words per journal line
            for (int count : LONG_COUNTS) {
                int[] words = pattern(count, count);
                int[] written = new int[count];
                for (int i = 0; i < count; i++) {
                    // Bits above the low 16, of either sign, which long blocks drop as short ones do.
                    written[i] = words[i] + 65536 * (i % 3 - 1);
                }
                Brenmoor.regWrite(0, 0, 0, written, count);
                int[] into = new int[count + 1];
                into[count] = -9;
                Brenmoor.regRead(0, 0, 0, into, count);
                report.value(count + " into", Arrays.equals(Arrays.copyOf(into, count), words)
                        && into[count] == -9);
                report.value(count + " new", Arrays.equals(Brenmoor.regRead(0, 0, 0, count), words));
            }
            // Data registers end at 8191: a read of 300 from 8190 fills two words, after a full
            // read of the same form that leaves non-zero words where a reused buffer would hold
            // them.
            int[] stored = pattern(300, 7);
            Brenmoor.regWrite(0, 0, 8192 - 300, stored, 300);
            int[] expected = new int[300];
            expected[0] = stored[298];
            expected[1] = stored[299];
            report.step("partly outside");
            int[] into = new int[300];
            Brenmoor.regRead(0, 0, 8192 - 300, into, 300);
            Brenmoor.regRead(0, 0, 8190, into, 300);
            report.value("into", Arrays.equals(into, expected));
            Brenmoor.regRead(0, 0, 8192 - 300, 300);
            report.value("new", Arrays.equals(Brenmoor.regRead(0, 0, 8190, 300), expected));
        }).expect("-- partly outside\nin DLL: RegRead Error\nin DLL: RegRead Error\n",
                lines + "-- partly outside\ninto true\nnew true\n");
    }
}

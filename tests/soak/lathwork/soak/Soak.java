package lathwork.soak;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;
import lathwork.Brenmoor;

/**
 * The long run: a million mixed calls through the bridge against the simulated outside libraries,
 * with the process's resident memory (VmRSS) taken before the first call, after every hundred
 * thousand calls and at the end. A bridge that keeps a few bytes of every call shows here as
 * memory that still grows after the first hundred thousand; the run fails when it grows by more
 * than {@link #GROWTH_LIMIT_KB} from there to the end.
 *
 * <p>Every call is of the fifteen native methods, successful ones and, in every tenth round,
 * failing ones with a known diagnostic line (refused input, the simulated PLC's and Corvane's own
 * failures), and every two thousand rounds both libraries are really released and loaded again.
 * Values read back are checked. The figures go to standard error; the bridge's lines go to native
 * standard output, and the last figure is how many of them the run expects.
 *
 * <p>Usage: {@code Soak [calls]} (default 1000000). Run it through tests/soak/run.sh.
 */
public final class Soak {
    static final long SAMPLE_EVERY = 100_000;
    static final long GROWTH_LIMIT_KB = 4096;

    private long calls;
    private long expectedLines;
    private long mismatches;

    public static void main(String[] args) throws IOException {
        long total = args.length > 0 ? Long.parseLong(args[0]) : 1_000_000;
        new Soak().run(total);
    }

    private void run(long total) throws IOException {
        long startKb = rssKb();
        System.err.printf("%9s calls  VmRSS %7d kB%n", 0, startKb);
        load();
        long sampleKb = 0;
        long nextSample = SAMPLE_EVERY;
        long began = System.nanoTime();
        for (int round = 0; calls < total; round++) {
            round(round);
            if (calls >= nextSample) {
                long kb = rssKb();
                if (nextSample == SAMPLE_EVERY) {
                    sampleKb = kb;
                }
                System.err.printf("%9d calls  VmRSS %7d kB%n", calls, kb);
                nextSample += SAMPLE_EVERY;
            }
        }
        double seconds = (System.nanoTime() - began) / 1e9;
        long endKb = rssKb();
        long growth = endKb - sampleKb;
        System.err.printf("%9d calls  VmRSS %7d kB (end)%n", calls, endKb);
        System.err.printf("%d calls in %.1f s (%.0f calls/s)%n", calls, seconds, calls / seconds);
        System.err.printf("VmRSS at start %d kB, after %d calls %d kB, at the end %d kB: %+d kB%n",
                startKb, SAMPLE_EVERY, sampleKb, endKb, growth);
        System.err.printf("values read back wrong: %d%n", mismatches);
        System.err.printf("expected diagnostic lines: %d%n", expectedLines);
        System.out.flush();
        if (mismatches > 0 || growth > GROWTH_LIMIT_KB) {
            System.err.printf("FAILED: %s%n", mismatches > 0 ? "wrong values"
                    : "resident memory grew by more than " + GROWTH_LIMIT_KB + " kB");
            System.exit(1);
        }
    }

    /** Both libraries loaded, link 0 open to unit 1. */
    private void load() {
        Brenmoor.start();
        Brenmoor.cvStart();
        Brenmoor.open(0, 1, 0, 100, 3);
        calls += 3;
    }

    private void round(int round) {
        int length = 1 + round % 300;
        int address = round * 13 % (6000 - length);
        int[] values = new int[length];
        int[] words = new int[length];
        for (int k = 0; k < length; k++) {
            values[k] = round * 31 + k * 65_521 - 40_000;
            words[k] = values[k] & 0xFFFF;
        }
        Brenmoor.regWrite(0, 0, address, values, length);
        int[] into = new int[length];
        Brenmoor.regRead(0, 0, address, into, length);
        check(Arrays.equals(words, into));
        check(Arrays.equals(words, Brenmoor.regRead(0, 0, address, length)));
        Brenmoor.regWrite(0, 1, 4000, round);
        check(Brenmoor.regRead(0, 1, 4000, 1)[0] == (round & 0xFFFF));

        String item = "item" + round % 64;
        String value = "value " + round + " \u00e9\u20ac\ud83d\ude00";
        Brenmoor.cvPoke("soak", item, value);
        check(value.equals(Brenmoor.cvRequest("soak", item)));

        Brenmoor.stopMode(0, 1);
        Brenmoor.downLoad(0, 1, "prog" + round % 100 + ".mot");
        Brenmoor.runMode(0, 1);
        // Another load and its release: the library stays.
        Brenmoor.start();
        Brenmoor.finish();
        Brenmoor.cvStart();
        Brenmoor.cvFinish();
        calls += 15;

        if (round % 10 == 0) {
            Brenmoor.regRead(0, 0, 8190, 4); // past the data registers
            Brenmoor.regWrite(0, 0, 0, values, length + 1); // more than the array holds
            Brenmoor.regRead(0, 0, 0, null, 1);
            Brenmoor.downLoad(0, 1, null);
            Brenmoor.downLoad(0, 1, "x.mot"); // in run mode
            Brenmoor.open(0, 1, 0, 100, 3); // already open
            Brenmoor.close(5); // never opened
            Brenmoor.cvPoke("soak", null, "x");
            check("-1".equals(Brenmoor.cvRequest("soak", "never poked")));
            calls += 9;
            expectedLines += 9;
        }
        if (round % 2000 == 1999) {
            // Released for real and loaded again: the simulated PLC starts from scratch.
            Brenmoor.finish();
            Brenmoor.cvFinish();
            Brenmoor.regWrite(0, 0, 0, 1);
            check("-1".equals(Brenmoor.cvRequest("soak", item)));
            calls += 4;
            expectedLines += 2;
            load();
        }
    }

    private void check(boolean right) {
        if (!right) {
            mismatches++;
        }
    }

    private static long rssKb() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IOException("no VmRSS in /proc/self/status");
    }
}

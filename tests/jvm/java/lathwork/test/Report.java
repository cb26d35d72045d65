package lathwork.test;

import java.io.FileOutputStream;
import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Path;
import java.util.Arrays;

/**
 * What a child JVM saw, one line per observation, in the order it happened: step markers, every
 * call the simulated libraries received (their journal lines, taken in before each new line), and
 * values that came back to Java. Each line reaches the file at once, so a scenario that ends with
 * System.exit loses nothing.
 */
final class Report implements AutoCloseable {
    private final PrintStream out;
    private int journalSeen;

    Report(Path file) throws IOException {
        out = new PrintStream(new FileOutputStream(file.toFile()), true, StandardCharsets.UTF_8);
    }

    /** Starts a step: "-- name" in the report and, through the probe, on the native stdout. */
    void step(String name) {
        journal();
        out.println("-- " + name);
        SimProbe.mark(name);
    }

    /** A text the report writes as it is, not quoted as a string value. */
    record Plain(String text) {
        @Override
        public String toString() {
            return text;
        }
    }

    /** Records "label value", the value written as {@link #describe} does. */
    void value(String label, Object value) {
        journal();
        out.println(label + " " + describe(value));
    }

    /** Copies the journal lines written since the last call. */
    void journal() {
        for (int count = SimProbe.journalCount(); journalSeen < count; journalSeen++) {
            out.println(SimProbe.journalLine(journalSeen));
        }
    }

    /**
     * Copies the journal lines written since the last call, then clears the journal and every
     * script, so that a long run never fills the journal and no script outlives its call.
     */
    void journalThenReset() {
        journal();
        SimProbe.reset();
        journalSeen = 0;
    }

    @Override
    public void close() {
        journal();
        out.close();
    }

    /**
     * Arrays as [a, b], strings quoted with every character outside printable ASCII as a \\u
     * escape (so U+0000 and surrogates stay visible), anything else by toString.
     */
    static String describe(Object value) {
        if (value instanceof int[]) {
            return Arrays.toString((int[]) value);
        }
        if (value instanceof String) {
            return quote((String) value);
        }
        return String.valueOf(value);
    }

    static String quote(String text) {
        StringBuilder quoted = new StringBuilder("\"");
        for (char c : text.toCharArray()) {
            if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
                quoted.append(c);
            } else {
                quoted.append(String.format("\\u%04x", (int) c));
            }
        }
        return quoted.append('"').toString();
    }
}

package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.charset.StandardCharsets;
import java.util.List;
import lathwork.Brenmoor;
import org.junit.jupiter.api.Test;

/** cvPoke and cvRequest: the status rule, the reply area and texts in both directions. */
class CorvaneJvmTest {
    /** Each status the library returns, with the lines cvPoke and cvRequest write for it. */
    private static final String[][] STATUSES = {{"1", "", ""},
            {"0", "in DLL: Corvane stopped\n", "in DLL: Corvane stopped\n"},
            {"2", "in DLL: Write error\n", "in DLL: Read error\n"},
            {"-1", "in DLL: Write error\n", "in DLL: Read error\n"}};

    @Test
    void statusOneIsSuccessZeroIsStoppedAnythingElseIsAnError() {
        StringBuilder pokes = new StringBuilder();
        StringBuilder requests = new StringBuilder();
        StringBuilder journal = new StringBuilder();
        for (String[] status : STATUSES) {
            pokes.append("-- poke status ").append(status[0]).append('\n').append(status[1]);
            requests.append("-- request status ").append(status[0]).append('\n').append(status[2]);
            journal.append("-- poke status ").append(status[0]).append("\nCVDA_Poke x74 x69 x76\n");
        }
        for (String[] status : STATUSES) {
            // Each request finds the value poked and copies it into the reply area; only status 1
            // may let it through.
            journal.append("-- request status %s\nCVDA_Request x74 x69 *\nreply \"%s\"\n"
                    .formatted(status[0], status[0].equals("1") ? "v" : "-1"));
        }
        ChildJvm.run(report -> {
            Brenmoor.cvStart();
            for (String[] status : STATUSES) {
                SimProbe.scriptStatus("CVDA_Poke", Integer.parseInt(status[0]));
                report.step("poke status " + status[0]);
                Brenmoor.cvPoke("t", "i", "v");
            }
            for (String[] status : STATUSES) {
                SimProbe.scriptStatus("CVDA_Request", Integer.parseInt(status[0]));
                report.step("request status " + status[0]);
                report.value("reply", Brenmoor.cvRequest("t", "i"));
            }
            report.step("application stopped");
            Brenmoor.cvPoke("sim", "state", "stopped");
            Brenmoor.cvPoke("t", "i", "w");
            report.value("reply", Brenmoor.cvRequest("t", "i"));
        }).expect(pokes + requests.toString() + """
                -- application stopped
                in DLL: Corvane stopped
                in DLL: Corvane stopped
                """, journal + """
                -- application stopped
                CVDA_Poke x73696d x7374617465 x73746f70706564
                CVDA_Poke x74 x69 x77
                CVDA_Request x74 x69 *
                reply "-1"
                """);
    }

    /** {@code length} letters a to z, over and over. */
    static String letters(int length) {
        StringBuilder text = new StringBuilder(length);
        for (int i = 0; i < length; i++) {
            text.append((char) ('a' + i % 26));
        }
        return text.toString();
    }

    @Test
    void replyComesBackWholeAndByteForByte() {
        ChildJvm.run(report -> {
            Brenmoor.cvStart();
            report.step("empty reply");
            SimProbe.scriptReply(new byte[0], true);
            report.value("reply", Brenmoor.cvRequest("t", "i"));
            report.step("4095-byte reply");
            SimProbe.scriptReply(letters(4095).getBytes(StandardCharsets.US_ASCII), true);
            report.value("reply", Brenmoor.cvRequest("t", "i"));
            report.step("modified UTF-8 reply");
            // A, U+00E9, U+0000 as c0 80, U+1F600 as two three-byte surrogates.
            byte[] reply = {0x41, (byte) 0xc3, (byte) 0xa9, (byte) 0xc0, (byte) 0x80, (byte) 0xed,
                            (byte) 0xa0, (byte) 0xbd, (byte) 0xed, (byte) 0xb8, (byte) 0x80};
            SimProbe.scriptReply(reply, true);
            report.value("reply", Brenmoor.cvRequest("t", "i"));
            report.step("4096 bytes without NUL");
            SimProbe.scriptReply(letters(4096).getBytes(StandardCharsets.US_ASCII), false);
            report.value("reply", Brenmoor.cvRequest("t", "i"));
            // Success for an item the library never wrote, after a long reply filled the area.
            report.step("success without a reply");
            SimProbe.scriptReply(letters(4095).getBytes(StandardCharsets.US_ASCII), true);
            Brenmoor.cvRequest("t", "i");
            SimProbe.scriptStatus("CVDA_Request", 1);
            report.value("reply", Brenmoor.cvRequest("t", "never poked"));
        }).expect("""
                -- empty reply
                -- 4095-byte reply
                -- modified UTF-8 reply
                -- 4096 bytes without NUL
                in DLL: Read error
                -- success without a reply
                """, """
                -- empty reply
                CVDA_Request x74 x69 *
                reply ""
                -- 4095-byte reply
                CVDA_Request x74 x69 *
                reply "%s"
                -- modified UTF-8 reply
                CVDA_Request x74 x69 *
                reply "A\\u00e9\\u0000\\ud83d\\ude00"
                -- 4096 bytes without NUL
                CVDA_Request x74 x69 *
                reply "-1"
                -- success without a reply
                CVDA_Request x74 x69 *
                CVDA_Request x74 x6e6576657220706f6b6564 *
                reply ""
                """.formatted(letters(4095)));
    }

    /** Replies that are not modified UTF-8 (a valid one, C0 80 included, is covered above). */
    static final byte[][] FOREIGN_REPLIES = {
        // Standard UTF-8 with a four-byte sequence (U+1F600) and text after it.
        {0x41, (byte) 0xf0, (byte) 0x9f, (byte) 0x98, (byte) 0x80, (byte) 0xc3, (byte) 0xa9, 0x20,
         0x6f, 0x6b},
        // "12°C" and "±5 mm" in a Western code page.
        {0x31, 0x32, (byte) 0xb0, 0x43},
        {(byte) 0xb1, 0x35, 0x20, 0x6d, 0x6d},
        // Bytes that are no UTF-8 of either kind.
        {(byte) 0x80, (byte) 0xff},
        // C0 80 is modified UTF-8 only, a four-byte sequence standard UTF-8 only: together they
        // are neither, so every byte stands for itself.
        {(byte) 0xc0, (byte) 0x80, (byte) 0xf0, (byte) 0x9f, (byte) 0x98, (byte) 0x80},
    };

    /** Each scripted reply is followed by its own request, and decoded without a line. */
    @Test
    void replyThatIsNotModifiedUtf8LosesNoCharacter() {
        ChildJvm.Run run = ChildJvm.run(report -> {
            Brenmoor.cvStart();
            for (byte[] reply : FOREIGN_REPLIES) {
                report.step("reply of " + reply.length + " bytes");
                SimProbe.scriptReply(reply, true);
                report.value("reply", Brenmoor.cvRequest("t", "i"));
            }
        });
        assertEquals("", run.stdout().replaceAll("(?m)^-- .*\n", ""));
        assertEquals(List.of(
                "reply \"A\\ud83d\\ude00\\u00e9 ok\"",
                "reply \"12\\u00b0C\"",
                "reply \"\\u00b15 mm\"",
                "reply \"\\u0080\\u00ff\"",
                "reply \"\\u00c0\\u0080\\u00f0\\u009f\\u0098\\u0080\""),
                run.report().lines().filter(line -> line.startsWith("reply ")).toList());
    }

    @Test
    void textsCrossAsModifiedUtf8AndNullTextsNeverReachTheLibrary() {
        // The value poked comes back through the reply: its bytes reach Java unchanged.
        ChildJvm.run(report -> {
            Brenmoor.cvStart();
            report.step("poke outside ASCII");
            Brenmoor.cvPoke("t\u00e9", "\u0000", "\ud83d\ude00\u6f22");
            report.step("request outside ASCII");
            report.value("reply", Brenmoor.cvRequest("t\u00e9", "\u0000"));
            report.step("poke null topic");
            Brenmoor.cvPoke(null, "i", "v");
            report.step("poke null item");
            Brenmoor.cvPoke("t", null, "v");
            report.step("poke null value");
            Brenmoor.cvPoke("t", "i", null);
            report.step("request null topic");
            report.value("reply", Brenmoor.cvRequest(null, "i"));
            report.step("request null item");
            report.value("reply", Brenmoor.cvRequest("t", null));
        }).expect("""
                -- poke outside ASCII
                -- request outside ASCII
                -- poke null topic
                in DLL: Write error
                -- poke null item
                in DLL: Write error
                -- poke null value
                in DLL: Write error
                -- request null topic
                in DLL: Read error
                -- request null item
                in DLL: Read error
                """, """
                -- poke outside ASCII
                CVDA_Poke x74c3a9 xc080 xeda0bdedb880e6bca2
                -- request outside ASCII
                CVDA_Request x74c3a9 xc080 *
                reply "\\ud83d\\ude00\\u6f22"
                -- poke null topic
                -- poke null item
                -- poke null value
                -- request null topic
                reply "-1"
                -- request null item
                reply "-1"
                """);
    }
}

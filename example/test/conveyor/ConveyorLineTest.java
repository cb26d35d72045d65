package conveyor;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.nio.file.Files;
import java.nio.file.Path;
import morlane.CallRecord;
import morlane.FailureKind;
import morlane.simulator.Simulator;
import morlane.simulator.SimulatorExtension;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.io.TempDir;

/**
 * The conveyor program against a simulated PLC: each test gets a fresh one from the extension,
 * sets what the line's sensors would, scripts the faults it wants, and checks what the program
 * did and which kind of failure it saw.
 */
@ExtendWith(SimulatorExtension.class)
class ConveyorLineTest {
    @Test
    void reportsTheSensorAndKeepsItsHeartbeat(Simulator plc) throws Exception {
        plc.setRegister(0, 0, ConveyorLine.SENSOR, 17);
        assertEquals(0, ConveyorLine.run(3, 0, "conveyor.prg"));
        assertEquals(3, plc.register(0, 0, ConveyorLine.HEARTBEAT));
        assertArrayEquals(new int[] {1250, 40, 1}, plc.registers(0, 0, ConveyorLine.SETPOINTS, 3));
        assertEquals("17", plc.corvaneItem("line1", "sensor"));
    }

    /** In process a slow PLC only makes the line slow; hosted, past its deadline, it fails. */
    @Test
    void aSlowReadDelaysTheLineOrPassesItsDeadline(Simulator plc) throws Exception {
        plc.delay("CVDLLRZ_RegRead", 600, 1);
        if (plc.hosted()) {
            CallRecord.setLinkDeadline(300);
        }
        long started = System.nanoTime();
        try {
            int exit = ConveyorLine.run(2, 0, "conveyor.prg");
            assertTrue(System.nanoTime() - started >= 300_000_000L);
            if (plc.hosted()) {
                assertEquals(1, exit);
                assertEquals(FailureKind.DEADLINE_PASSED, ConveyorLine.lastFailure.kind());
            } else {
                assertEquals(0, exit);
            }
        } finally {
            if (plc.hosted()) {
                CallRecord.setLinkDeadline(0); // the deadline belongs to the library, not the test
            }
        }
    }

    @Test
    void aCrashOfThePlcLibraryEndsTheRunAsHostLost(Simulator plc) throws Exception {
        assumeTrue(plc.hosted(), "only a hosted library can crash without the JVM");
        plc.crash("CVDLLRZ_RegWrite");
        assertEquals(1, ConveyorLine.run(2, 0, "conveyor.prg"));
        assertEquals(FailureKind.HOST_LOST, ConveyorLine.lastFailure.kind());
        assertTrue(ConveyorLine.lastFailure.getMessage().contains("host lost"));
    }

    /**
     * A session recorded, then replayed: the program sees the recorded sensor, whatever the PLC
     * holds now; a program that calls differently is told by the replay's status.
     */
    @Test
    void aRecordedSessionReplays(Simulator plc, @TempDir Path dir) throws Exception {
        Path journal = dir.resolve("line.journal"), session = dir.resolve("session.journal");
        assertTrue(plc.record(journal));
        plc.setRegister(0, 0, ConveyorLine.SENSOR, 17);
        assertEquals(0, ConveyorLine.run(2, 0, "conveyor.prg"));
        Files.copy(journal, session);

        plc.replay(session);
        plc.setRegister(0, 0, ConveyorLine.SENSOR, 99);
        assertEquals(0, ConveyorLine.run(2, 0, "conveyor.prg"));
        assertTrue(plc.calls().contains("CVDA_Poke x6c696e6531 x73656e736f72 x3137"), // "17"
                () -> String.join("\n", plc.calls()));
        assertFalse(plc.calls().stream().anyMatch(call -> call.startsWith("! replay")));

        plc.replay(session);
        assertEquals(1, ConveyorLine.run(2, 0, "other.prg"));
        assertEquals(FailureKind.LIBRARY_FAILED, ConveyorLine.lastFailure.kind());
        assertTrue(Simulator.isReplayMismatch(ConveyorLine.lastFailure.operation(),
                ConveyorLine.lastFailure.status().getAsInt()), ConveyorLine.lastFailure::toString);
    }
}

package lathwork.bench;

import static java.lang.foreign.ValueLayout.ADDRESS;
import static java.lang.foreign.ValueLayout.JAVA_INT;
import static java.lang.foreign.ValueLayout.JAVA_SHORT;

import java.lang.foreign.Arena;
import java.lang.foreign.FunctionDescriptor;
import java.lang.foreign.Linker;
import java.lang.foreign.MemorySegment;
import java.lang.foreign.SymbolLookup;
import java.lang.invoke.MethodHandle;

/**
 * FFM downcalls (JDK 22 or later): handles made once and kept in static finals, and per thread
 * one segment each for the words, the reply and every text, reused on every call.
 */
final class Ffm extends Contender {
    private static final MethodHandle WRITE, READ, POKE, REQUEST;

    static {
        Linker linker = Linker.nativeLinker();
        SymbolLookup plc = SymbolLookup.libraryLookup(library("CVDLL1RZ1.dll"), Arena.global());
        SymbolLookup cv = SymbolLookup.libraryLookup(library("CVDAlib.dll"), Arena.global());
        FunctionDescriptor block =
                FunctionDescriptor.of(JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT, ADDRESS, JAVA_INT);
        FunctionDescriptor texts = FunctionDescriptor.of(JAVA_INT, ADDRESS, ADDRESS, ADDRESS);
        WRITE = linker.downcallHandle(plc.find("CVDLLRZ_RegWrite").orElseThrow(), block);
        READ = linker.downcallHandle(plc.find("CVDLLRZ_RegRead").orElseThrow(), block);
        POKE = linker.downcallHandle(cv.find("CVDA_Poke").orElseThrow(), texts);
        REQUEST = linker.downcallHandle(cv.find("CVDA_Request").orElseThrow(), texts);
    }

    private final Arena arena = Arena.ofAuto();
    private final MemorySegment words = arena.allocate(JAVA_SHORT, WORDS);
    private final MemorySegment reply = arena.allocate(4096);
    private final MemorySegment[] texts = {arena.allocate(4096), arena.allocate(4096),
        arena.allocate(4096)};

    private MemorySegment text(int k, String s) {
        texts[k].setString(0, s);
        return texts[k];
    }

    @Override
    void regWrite(int link, int area, int address, int value) throws Throwable {
        words.set(JAVA_SHORT, 0, (short) value);
        linkStatus((int) WRITE.invokeExact(link, area, address, words, 1),
                "in DLL: RegWrite Error\n");
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) throws Throwable {
        for (int i = 0; i < count; i++) {
            words.setAtIndex(JAVA_SHORT, i, (short) values[i]);
        }
        linkStatus((int) WRITE.invokeExact(link, area, address, words, count),
                "in DLL: RegWrite Error\n");
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) throws Throwable {
        int status = (int) READ.invokeExact(link, area, address, words, count);
        for (int i = 0; i < count; i++) {
            values[i] = Short.toUnsignedInt(words.getAtIndex(JAVA_SHORT, i));
        }
        linkStatus(status, "in DLL: RegRead Error\n");
    }

    @Override
    int[] regRead(int link, int area, int address, int count) throws Throwable {
        int[] values = new int[count];
        regRead(link, area, address, values, count);
        return values;
    }

    @Override
    void cvPoke(String topic, String item, String value) throws Throwable {
        int status = (int) POKE.invokeExact(text(0, topic), text(1, item), text(2, value));
        corvaneStatus(status, "in DLL: Write error\n");
    }

    @Override
    String cvRequest(String topic, String item) throws Throwable {
        int status = (int) REQUEST.invokeExact(text(0, topic), text(1, item), reply);
        return corvaneStatus(status, "in DLL: Read error\n") ? reply.getString(0) : "-1";
    }
}

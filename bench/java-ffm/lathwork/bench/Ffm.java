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
 * Foreign Function and Memory API downcalls (JDK 22 or later), written the way its documentation
 * shows: handles made once, off-heap buffers and texts from a confined arena per call.
 * Compiled only when such a JDK is found.
 */
final class Ffm extends Contender {
    private static final FunctionDescriptor LINK_BLOCK =
            FunctionDescriptor.of(JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT, ADDRESS, JAVA_INT);

    // Static finals, so that invokeExact compiles to a direct call.
    private static final MethodHandle OPEN;
    private static final MethodHandle REG_WRITE;
    private static final MethodHandle REG_READ;
    private static final MethodHandle POKE;
    private static final MethodHandle REQUEST;

    static {
        Linker linker = Linker.nativeLinker();
        SymbolLookup plc = SymbolLookup.libraryLookup(JavaSide.library("CVDLL1RZ1.dll"), Arena.global());
        SymbolLookup cv = SymbolLookup.libraryLookup(JavaSide.library("CVDAlib.dll"), Arena.global());
        OPEN = linker.downcallHandle(plc.find("CVDLLRZ_Open").orElseThrow(),
                FunctionDescriptor.of(JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT, JAVA_INT));
        REG_WRITE = linker.downcallHandle(plc.find("CVDLLRZ_RegWrite").orElseThrow(), LINK_BLOCK);
        REG_READ = linker.downcallHandle(plc.find("CVDLLRZ_RegRead").orElseThrow(), LINK_BLOCK);
        POKE = linker.downcallHandle(cv.find("CVDA_Poke").orElseThrow(),
                FunctionDescriptor.of(JAVA_INT, ADDRESS, ADDRESS, ADDRESS));
        REQUEST = linker.downcallHandle(cv.find("CVDA_Request").orElseThrow(),
                FunctionDescriptor.of(JAVA_INT, ADDRESS, ADDRESS, ADDRESS));
    }

    @Override
    void bind() {
        // The static initializer has bound everything.
    }

    @Override
    void open(int link, int unit, int protocol, int timeout, int retries) {
        try {
            int status = (int) OPEN.invokeExact(link, unit, protocol, timeout, retries);
            JavaSide.linkStatus(status, "in DLL: Open Error\n");
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    @Override
    void regWrite(int link, int area, int address, int value) {
        try (Arena arena = Arena.ofConfined()) {
            MemorySegment words = arena.allocate(JAVA_SHORT);
            words.set(JAVA_SHORT, 0, (short) value);
            int status = (int) REG_WRITE.invokeExact(link, area, address, words, 1);
            JavaSide.linkStatus(status, "in DLL: RegWrite Error\n");
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    @Override
    void regWrite(int link, int area, int address, int[] values, int count) {
        if (!JavaSide.blockFits(values, count)) {
            System.out.print("in DLL: RegWrite Error\n");
            return;
        }
        try (Arena arena = Arena.ofConfined()) {
            MemorySegment words = arena.allocate(JAVA_SHORT, count);
            for (int i = 0; i < count; i++) {
                words.setAtIndex(JAVA_SHORT, i, (short) values[i]);
            }
            int status = (int) REG_WRITE.invokeExact(link, area, address, words, count);
            JavaSide.linkStatus(status, "in DLL: RegWrite Error\n");
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    @Override
    void regRead(int link, int area, int address, int[] values, int count) {
        if (!JavaSide.blockFits(values, count)) {
            System.out.print("in DLL: RegRead Error\n");
            return;
        }
        read(link, area, address, values, count);
    }

    @Override
    int[] regRead(int link, int area, int address, int count) {
        int[] values = new int[count];
        read(link, area, address, values, count);
        return values;
    }

    private static void read(int link, int area, int address, int[] values, int count) {
        try (Arena arena = Arena.ofConfined()) {
            MemorySegment words = arena.allocate(JAVA_SHORT, count);
            int status = (int) REG_READ.invokeExact(link, area, address, words, count);
            for (int i = 0; i < count; i++) {
                values[i] = Short.toUnsignedInt(words.getAtIndex(JAVA_SHORT, i));
            }
            JavaSide.linkStatus(status, "in DLL: RegRead Error\n");
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    @Override
    void cvPoke(String topic, String item, String value) {
        try (Arena arena = Arena.ofConfined()) {
            int status = (int) POKE.invokeExact(arena.allocateFrom(topic),
                    arena.allocateFrom(item), arena.allocateFrom(value));
            JavaSide.corvaneStatus(status, "in DLL: Write error\n");
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    @Override
    String cvRequest(String topic, String item) {
        try (Arena arena = Arena.ofConfined()) {
            MemorySegment reply = arena.allocate(JavaSide.REPLY_BYTES);
            int status = (int) REQUEST.invokeExact(arena.allocateFrom(topic),
                    arena.allocateFrom(item), reply);
            return JavaSide.corvaneStatus(status, "in DLL: Read error\n") ? reply.getString(0)
                                                                          : "-1";
        } catch (Throwable t) {
            throw rethrow(t);
        }
    }

    private static RuntimeException rethrow(Throwable t) {
        if (t instanceof RuntimeException r) {
            throw r;
        }
        if (t instanceof Error e) {
            throw e;
        }
        throw new IllegalStateException(t);
    }
}

import java.nio.channels.FileChannel;
import java.nio.file.Paths;
import java.nio.file.StandardOpenOption;

/**
 * Stands in for a running JVM of another morlane version: holds a shared lock on the lock file
 * named by its argument, as that JVM's loader would, until its standard input ends. Says "held"
 * once it holds it.
 */
public final class HoldLock {
    private HoldLock() {}

    public static void main(String[] args) throws Exception {
        try (FileChannel lock = FileChannel.open(Paths.get(args[0]), StandardOpenOption.READ,
                StandardOpenOption.WRITE, StandardOpenOption.CREATE)) {
            lock.lock(0, Long.MAX_VALUE, true);
            System.out.println("held");
            while (System.in.read() >= 0) {
                // until the input ends
            }
        }
    }
}

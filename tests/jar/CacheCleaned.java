import java.io.IOException;
import java.nio.file.DirectoryStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import lathwork.Brenmoor;
import morlane.CallRecord;
import morlane.NativeLoader;

/**
 * A cache cleaner at work while a program runs: the link library is started and finished, the
 * folder the bridge came from is deleted with the host program in it, and the library is started
 * again. With {@code -Dblocked=true} a file then takes the folder's place, so nothing can be put
 * back; with {@code -Ddamaged=true} the host program is cut short in place instead. Prints the
 * mode and the load failure after each start.
 */
public final class CacheCleaned {
    private CacheCleaned() {}

    public static void main(String[] args) throws IOException {
        Brenmoor.start();
        System.out.println("first start: mode " + CallRecord.linkMode());
        Brenmoor.finish();
        Path folder = Paths.get(NativeLoader.loadedFrom()).getParent();
        if (Boolean.getBoolean("damaged")) {
            Files.write(folder.resolve("morlane-host32"), new byte[100]);
        } else {
            try (DirectoryStream<Path> files = Files.newDirectoryStream(folder)) {
                for (Path file : files) {
                    Files.delete(file);
                }
            }
            Files.delete(folder);
        }
        if (Boolean.getBoolean("blocked")) {
            Files.createFile(folder);
        }
        Brenmoor.start();
        System.out.println("after cleaning: mode " + CallRecord.linkMode() + ", reason "
                + CallRecord.linkLoadFailure());
        Brenmoor.finish();
    }
}

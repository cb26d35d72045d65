package morlane;

import java.io.File;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.concurrent.TimeUnit;
import java.util.function.IntSupplier;
import java.util.function.Supplier;
import lathwork.Brenmoor;

/**
 * What {@code java -jar morlane-<version>.jar} runs: whether this machine can use the bridge, for
 * an installer to run first. Says what it finds line by line and exits with 1 when something is
 * missing.
 */
final class MachineCheck {
    private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    private static int missing;

    private MachineCheck() {}

    public static void main(String[] args) {
        if (args.length > 0 && args[0].equals("--field-check")) {
            FieldCheck.run(java.util.Arrays.copyOfRange(args, 1, args.length));
            return;
        }
        NativeLoader.Platform platform = NativeLoader.Platform.current();
        System.out.println("morlane " + NativeLoader.version() + ": checking this machine");
        say("JVM", System.getProperty("java.vm.name") + " " + System.getProperty("java.version")
                + " in " + System.getProperty("java.home"));
        say("platform", platform.toString());
        try {
            NativeLoader.load();
        } catch (UnsatisfiedLinkError e) {
            lack("bridge", e.getMessage());
            end();
            return;
        }
        Path bridge = bridge(platform);
        boolean fromJar = !"java.library.path".equals(NativeLoader.loadedFrom());
        say("bridge", bridge + (fromJar ? ", from this jar's " + NativeLoader.RESOURCES
                + platform.folder + "/" : ", found on java.library.path"));
        say("cache", fromJar ? bridge.getParent().getParent().toString()
                : "none used: the bridge came from java.library.path");
        if (fromJar) {
            say("", "(" + NativeLoader.cacheWhy() + ")");
        }

        // A 64-bit bridge serves 32-bit libraries through the host beside it. Without arguments the
        // host ends at once with 2: that it got so far is what is asked here.
        if (platform.folder != null && platform.folder.endsWith("x86_64")) {
            Path host = bridge.resolveSibling(WINDOWS ? "morlane-host32.exe" : "morlane-host32");
            try {
                Process started = new ProcessBuilder(host.toString()).start();
                if (!started.waitFor(30, TimeUnit.SECONDS)) {
                    started.destroyForcibly();
                    lack("host", host + " started but did not end");
                } else if (started.exitValue() != 2) {
                    lack("host", host + " started but ended with " + started.exitValue());
                } else {
                    say("host", host + " starts");
                }
            } catch (IOException | InterruptedException e) {
                lack("host", host + " cannot be started: " + e.getMessage());
            }
        } else {
            say("host", "none needed: a 32-bit JVM loads the 32-bit libraries itself");
        }

        library("CVDLL1RZ1.dll", Brenmoor::start, CallRecord::linkMode,
                CallRecord::linkLoadFailure, Brenmoor::finish);
        library("CVDAlib.dll", Brenmoor::cvStart, CallRecord::corvaneMode,
                CallRecord::corvaneLoadFailure, Brenmoor::cvFinish);
        end();
    }

    /** The bridge's file: from the jar, or the first on java.library.path with its name. */
    private static Path bridge(NativeLoader.Platform platform) {
        String from = NativeLoader.loadedFrom();
        if (!"java.library.path".equals(from)) {
            return Paths.get(from);
        }
        for (String folder : System.getProperty("java.library.path").split(File.pathSeparator)) {
            Path file = Paths.get(folder.isEmpty() ? "." : folder, platform.library);
            if (Files.isRegularFile(file)) {
                return file.toAbsolutePath();
            }
        }
        return Paths.get(platform.library).toAbsolutePath();
    }

    private static void library(String file, Runnable start, IntSupplier mode,
            Supplier<String> failure, Runnable finish) {
        start.run();
        int loaded = mode.getAsInt();
        if (loaded == CallRecord.NOT_LOADED) {
            lack(file, "cannot be loaded: " + failure.get() + " (the library's folder belongs on "
                    + (WINDOWS ? "PATH" : "LD_LIBRARY_PATH") + ")");
            return;
        }
        say(file, loaded == CallRecord.HOSTED ? "loads, hosted by morlane-host32"
                : "loads in process");
        finish.run();
    }

    private static void say(String what, String found) {
        System.out.printf("  %-14s %s%n", what, found);
    }

    private static void lack(String what, String why) {
        say(what, "MISSING: " + why);
        missing++;
    }

    private static void end() {
        System.out.println(missing == 0 ? "morlane: this machine has all it needs"
                : "morlane: " + missing + " missing (above)");
        System.exit(missing == 0 ? 0 : 1);
    }
}

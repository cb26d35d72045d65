package lathwork.test;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;

/**
 * Runs one {@link Scenario} in a fresh JVM under -Xcheck:jni, the bridge loaded from the build
 * and the simulated outside libraries found through LD_LIBRARY_PATH, and keeps apart what the
 * child's native stdout received (the bridge's lines and the step markers) and what the scenario
 * reported. Paths come from system properties that the build passes to the test JVM.
 */
final class ChildJvm {
    static final Path SIM_DIR = Paths.get(property("morlane.sim.dir"));
    static final Path LIB_DIR = Paths.get(property("morlane.lib.dir"));
    private static final Path PROBE_DIR = Paths.get(property("morlane.probe.dir"));
    private static final String CLASS_PATH = property("morlane.child.class.path");
    private static final String JAVA = System.getProperty("morlane.java",
            Paths.get(System.getProperty("java.home"), "bin", "java").toString());
    private static final long TIMEOUT_SECONDS = 60;

    private ChildJvm() {}

    /**
     * Runs the child, the outside libraries searched for in {@code libraryPath} (the simulated
     * ones when it is empty); it must exit 0 silent on stderr and without any JNI warning.
     */
    static Run run(Scenario scenario, Path... libraryPath) {
        return launch(scenario, libraryPath).assertClean(0);
    }

    /** Like {@link #run}, judging nothing. */
    static Run launch(Scenario scenario, Path... libraryPath) {
        return launch(List.of(), Map.of(), LIB_DIR, scenario, libraryPath);
    }

    /**
     * Like {@link #launch(Scenario, Path...)}, with {@code options} (such as -Dname=value) on the
     * child's command line, {@code variables} in its environment and the bridge loaded from
     * {@code bridgeDir}.
     */
    static Run launch(List<String> options, Map<String, String> variables, Path bridgeDir,
                      Scenario scenario, Path... libraryPath) {
        String target = scenario.target();
        Path[] path = libraryPath.length == 0 ? new Path[] {SIM_DIR} : libraryPath;
        try {
            Path report = Files.createTempFile("morlane-report", ".txt");
            // The simulated libraries' test control, shared with any host process the child starts.
            Path simctlState = Files.createTempFile("morlane-simctl", ".state");
            try {
                List<String> command = new ArrayList<>(List.of(JAVA, "-Xcheck:jni",
                        "-Djava.library.path=" + bridgeDir + ":" + PROBE_DIR,
                        "-Dmorlane.mode=" + System.getProperty("morlane.mode", "in-process")));
                command.addAll(options);
                command.addAll(List.of("-cp", CLASS_PATH,
                        ScenarioMain.class.getName(), target, report.toString()));
                ProcessBuilder builder = new ProcessBuilder(command);
                Map<String, String> environment = builder.environment();
                environment.put("LD_LIBRARY_PATH", Arrays.stream(path)
                        .map(Path::toString).collect(Collectors.joining(":")));
                // The launcher announces these on stderr, which must stay empty.
                environment.remove("JAVA_TOOL_OPTIONS");
                environment.remove("_JAVA_OPTIONS");
                environment.remove("JDK_JAVA_OPTIONS");
                environment.put("MORLANE_SIMCTL_STATE", simctlState.toString());
                environment.putAll(variables);
                builder.redirectInput(ProcessBuilder.Redirect.from(new File("/dev/null")));
                Process process = builder.start();
                CompletableFuture<byte[]> stdout = drain(process.getInputStream());
                CompletableFuture<byte[]> stderr = drain(process.getErrorStream());
                if (!process.waitFor(TIMEOUT_SECONDS, TimeUnit.SECONDS)) {
                    process.destroyForcibly().waitFor();
                    fail(target + " did not end within " + TIMEOUT_SECONDS + " s");
                }
                return new Run(target, process.exitValue(),
                        new String(stdout.join(), StandardCharsets.ISO_8859_1),
                        new String(stderr.join(), StandardCharsets.UTF_8),
                        new String(Files.readAllBytes(report), StandardCharsets.UTF_8));
            } finally {
                Files.deleteIfExists(report);
                Files.deleteIfExists(simctlState);
            }
        } catch (IOException e) {
            throw new UncheckedIOException(e);
        } catch (InterruptedException e) {
            Thread.currentThread().interrupt();
            throw new AssertionError(e);
        }
    }

    private static CompletableFuture<byte[]> drain(InputStream stream) {
        return CompletableFuture.supplyAsync(() -> {
            try (InputStream in = stream) {
                return in.readAllBytes();
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        });
    }

    private static String property(String name) {
        String value = System.getProperty(name);
        if (value == null) {
            throw new IllegalStateException("system property " + name + " is not set");
        }
        return value;
    }

    /**
     * What one child JVM left behind: its native stdout (one char per byte), its stderr, and the
     * scenario's report (one observation per line).
     */
    record Run(String scenario, int exitCode, String stdout, String stderr, String report) {
        /** The child exited with {@code expectedExit}, silent on stderr, without JNI warning. */
        Run assertClean(int expectedExit) {
            if (stdout.contains("WARNING") || stderr.contains("WARNING")) {
                fail("JNI warning in " + this);
            }
            assertEquals(expectedExit, exitCode, () -> "exit code of " + this);
            assertEquals("", stderr, () -> "stderr of " + this);
            return this;
        }

        /** The native stdout and the report are exactly these. */
        Run expect(String stdout, String report) {
            assertEquals(stdout, this.stdout, () -> "native stdout of " + this);
            assertEquals(report, this.report, () -> "report of " + this);
            return this;
        }

        /** The report lines written after the marker "-- {@code step}" and before the next one. */
        List<String> step(String step) {
            List<String> lines = Arrays.asList(report.split("\n"));
            int start = lines.indexOf("-- " + step);
            if (start < 0) {
                fail("no step \"" + step + "\" in " + this);
            }
            int end = start + 1;
            while (end < lines.size() && !lines.get(end).startsWith("-- ")) {
                end++;
            }
            return lines.subList(start + 1, end);
        }

        @Override
        public String toString() {
            return scenario + " (exit " + exitCode + ")\n--- native stdout:\n" + stdout
                    + "--- stderr:\n" + stderr + "--- report:\n" + report;
        }
    }
}

package morlane;

import static java.nio.file.StandardCopyOption.*;
import static java.nio.file.StandardOpenOption.*;
import static java.nio.file.attribute.AclEntryPermission.*;

import java.io.*;
import java.math.BigInteger;
import java.nio.channels.*;
import java.nio.charset.*;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.security.MessageDigest;
import java.util.*;

/**
 * Loads the bridge from {@code java.library.path}, else from this jar through a private cache
 * folder ({@code -Dmorlane.cache=<folder>} names one; docs/releases.md says where and how). On JDK
 * 22 and later pass {@code --enable-native-access=ALL-UNNAMED} ({@code =morlane} as a module).
 */
public final class NativeLoader {
    static final String RESOURCES = "morlane/natives/"; // the natives' folder in the jar
    static final String INDEX = "SHA256SUMS"; // a platform's files with their SHA-256, by sha256sum
    private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    private static final String BASE = RESOURCES + Platform.current().folder + "/";
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;
    private static final Set<PosixFilePermission> USER =
            PosixFilePermissions.fromString("rwx------");
    private static final Set<AclEntryPermission> CHANGE = // put, delete or rename what is inside
            EnumSet.of(WRITE_DATA, APPEND_DATA, DELETE_CHILD, DELETE, WRITE_ACL, WRITE_OWNER);
    // An elevated administrator's files belong to Administrators, which the same user, not
    // elevated, may neither load nor remove, and the reverse: each kind of run has its own cache.
    static final boolean ELEVATED = WINDOWS && madeForGroup();
    private static String loadedFrom, cacheWhy;
    private static UnsatisfiedLinkError failure;
    private static Closeable held = () -> {}; // the lock on the folder loaded from, kept till exit

    private NativeLoader() {}

    /**
     * Loads the bridge once per JVM; later calls return at once, or throw the first one's error.
     *
     * @throws UnsatisfiedLinkError naming the platform detected and each place tried, with why
     */
    public static synchronized void load() {
        if (loadedFrom == null && failure == null) {
            List<String> tried = new ArrayList<>();
            try {
                System.loadLibrary("morlane");
                loadedFrom = "java.library.path";
            } catch (UnsatisfiedLinkError e) {
                tried.add("java.library.path (" + System.getProperty("java.library.path") + "): "
                        + e.getMessage());
                loadedFrom = loadFromJar(tried);
            }
            failure = loadedFrom != null ? null : new UnsatisfiedLinkError("morlane: cannot load"
                    + " the bridge library for " + Platform.current() + ". Tried: "
                    + String.join("; ", tried));
        }
        if (failure != null) {
            throw failure;
        }
    }

    /** @return {@code "java.library.path"}, the file taken from this jar, or null before load */
    public static synchronized String loadedFrom() { return loadedFrom; }

    /** Why the cache folder loaded from was chosen; null if the bridge did not come from it. */
    static synchronized String cacheWhy() { return cacheWhy; }

    private static String loadFromJar(List<String> tried) {
        if (Platform.current().folder == null) {
            tried.add("this jar: it holds no bridge for this platform (it has linux-x86_64,"
                    + " linux-x86, windows-x86, windows-x86_64)");
            return null;
        }
        for (Map.Entry<String, String> candidate : cacheFolders(tried).entrySet()) {
            String folder = candidate.getKey();
            try { // a folder whose files cannot be loaded (noexec) gives way to the next
                folder += File.separator + version() + "-"
                        + sha256(resource(INDEX)).substring(0, 16);
                Path path = cache(Paths.get(folder)).resolve(Platform.current().library);
                System.load(path.toString());
                removeUnused(path.getParent());
                cacheWhy = candidate.getValue() + (tried.size() > 1 ? ", the first usable" : "")
                        + (ELEVATED ? "; for elevated runs: what they make belongs to"
                                + " Administrators, which the same user's other runs may not use"
                        : WINDOWS ? "; elevated runs keep another, with \"-elevated\" added" : "");
                return path.toString();
            } catch (Exception | UnsatisfiedLinkError e) {
                tried.add(folder + " (cache for this jar's " + BASE + "): " + reason(e));
            }
        }
        return null;
    }

    // Called by the bridge through JNI after a failed start, as a cleaner may have taken or cut
    // the files: null if none is missing or damaged or the bridge is not the jar's, "" once they
    // are back.
    private static synchronized String restoreCache() {
        Path folder = loadedFrom == null || loadedFrom.equals("java.library.path") ? null
                : Paths.get(loadedFrom).getParent();
        try {
            if (folder == null) {
                return null;
            }
            boolean whole = true;
            for (Map.Entry<String, String> file : index().entrySet()) {
                whole = whole && holds(folder.resolve(file.getKey()), file.getValue());
            }
            if (whole) {
                return null;
            }
            cache(folder);
            return "";
        } catch (Exception e) {
            return "the cache folder " + folder + " was cleaned while this program ran, and this"
                    + " jar could not put the files back (" + reason(e) + "): restart the program,"
                    + " and keep cleaners out of the cache or move it (-Dmorlane.cache=<folder>)";
        }
    }

    // The version the build put beside these classes: an uber-jar's manifest is not ours.
    static String version() {
        try {
            String version = new String(resource("/morlane/version"), StandardCharsets.UTF_8);
            return version.trim().matches("[A-Za-z0-9._-]+") ? version.trim() : "dev";
        } catch (IOException e) {
            return "dev";
        }
    }

    // The folders to try, in order, each with why it is one.
    private static Map<String, String> cacheFolders(List<String> tried) {
        String home = System.getProperty("user.home", "").replaceAll("^\\?$", "");
        String xdg = Optional.ofNullable(System.getenv("XDG_CACHE_HOME"))
                .filter(folder -> folder.startsWith("/")).orElse(under(home, "/.cache"));
        String user = System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
        Map<String, String> names = new LinkedHashMap<>();
        names.put(System.getProperty("morlane.cache"), "named by -Dmorlane.cache");
        names.putIfAbsent(WINDOWS ? under(System.getenv("LOCALAPPDATA"), "\\morlane")
                : under(xdg, "/morlane"), "the user's own cache"); // a Windows service lacks it
        names.putIfAbsent(WINDOWS ? under(home, "\\AppData\\Local\\morlane")
                : under(System.getProperty("java.io.tmpdir"), "/morlane-" + user),
                WINDOWS ? "the user's own cache, found from user.home" : "the user's own, in the"
                        + " temporary folder");
        names.remove(null);
        names.remove("");
        if (ELEVATED) {
            Map<String, String> elevated = new LinkedHashMap<>();
            names.forEach((folder, why) -> elevated.put(folder + "-elevated", why));
            names = elevated;
        }
        try { // Windows JVMs from 17 on no longer load libraries through the ANSI API
            boolean judged = !WINDOWS || System.getProperty("java.specification.version", "")
                    .matches("1\\..*|9|1[0-6]");
            CharsetEncoder encoding =
                    Charset.forName(System.getProperty("sun.jnu.encoding")).newEncoder();
            names.keySet().removeIf(folder -> judged && !encoding.canEncode(folder)
                    && tried.add(folder
                    + ": passed over, the JVM's file-name encoding (" + encoding.charset()
                    + ") cannot represent it; -Dmorlane.cache=<folder> names another"));
        } catch (RuntimeException e) { // no such property or charset: nothing to judge names by
        }
        return names;
    }

    // Whether what this process makes belongs to a group: so it is for an elevated administrator.
    private static boolean madeForGroup() {
        try {
            Path probe = Files.createTempFile("morlane-owner", ".tmp");
            try {
                return Files.getOwner(probe) instanceof GroupPrincipal;
            } finally {
                Files.delete(probe);
            }
        } catch (IOException | RuntimeException e) {
            return false;
        }
    }

    // Makes folder private, holds a shared lock on <folder>.lock (never removed: a JVM holding a
    // removed one would go unseen) and puts this jar's files in, each written whole, then renamed.
    private static Path cache(Path folder) throws Exception {
        Path usable = check(made(folder.toAbsolutePath()));
        held.close(); // the folder held before did not work out, or was cleaned away
        FileChannel lock = FileChannel.open(usable.resolveSibling(usable.getFileName() + ".lock"),
                READ, WRITE, CREATE);
        held = lock;
        lock.lock(0, Long.MAX_VALUE, true);
        // A JVM of another version may have removed the folder just before the lock was taken.
        usable = Files.isDirectory(usable, NOFOLLOW) ? usable : check(made(usable));
        for (Map.Entry<String, String> file : index().entrySet()) {
            Path target = usable.resolve(file.getKey());
            if (holds(target, file.getValue())) {
                continue;
            }
            Path temporary = Files.write(Files.createTempFile(usable, "." + file.getKey(), ".tmp"),
                    resource(file.getKey()));
            try { // the host is started as a program, the library mapped executable
                if (!holds(temporary, file.getValue())) {
                    throw new IOException(BASE + file.getKey() + " does not match " + INDEX
                            + ": the jar is damaged");
                }
                Files.move(WINDOWS ? temporary : Files.setPosixFilePermissions(temporary, USER),
                        target, ATOMIC_MOVE, REPLACE_EXISTING);
            } catch (IOException e) {
                // Windows will not replace a file in use: a JVM holding it checked that content.
                if (!holds(target, file.getValue())) {
                    throw e;
                }
            } finally {
                Files.deleteIfExists(temporary);
            }
        }
        return usable;
    }

    // Removes other versions' folders that no running JVM holds.
    private static void removeUnused(Path ours) {
        String others = "(?!\\Q" + version() + "-\\E).*-.{16}";
        try (DirectoryStream<Path> folders = Files.newDirectoryStream(ours.getParent(),
                folder -> folder.getFileName().toString().matches(others)
                        && Files.isDirectory(folder, NOFOLLOW))) {
            for (Path folder : folders) {
                try (FileChannel channel = FileChannel.open(folder.resolveSibling(
                        folder.getFileName() + ".lock"), READ, WRITE, CREATE);
                        FileLock alone = channel.tryLock();
                        java.util.stream.Stream<Path> inside = Files.walk(folder)) {
                    Iterator<Path> deepest = inside.sorted(Comparator.reverseOrder()).iterator();
                    while (alone != null && deepest.hasNext()) { // no lock: a running JVM's
                        Files.delete(deepest.next()); // links, not their targets
                    }
                } catch (IOException | RuntimeException e) { // in use: the next JVM tries again
                }
            }
        } catch (IOException | RuntimeException e) { // no listing: the next JVM tries again
        }
    }

    // The real path of folder, made for the user alone, with what is on its way, when missing.
    private static Path made(Path folder) throws Exception {
        if (Files.exists(folder, NOFOLLOW)) {
            return folder.toRealPath(); // the real folders are the ones checked and used
        }
        Path real = made(folder.getParent()).resolve(folder.getFileName().toString());
        try {
            Files.createDirectory(real, WINDOWS ? new FileAttribute<?>[0]
                    : new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(USER)});
        } catch (FileAlreadyExistsException exists) {
            return real; // made at the same time by another JVM: left to the checks
        }
        try { // the mode asked for at creation passes through the umask
            return WINDOWS ? protect(real) : Files.setPosixFilePermissions(real, USER);
        } catch (Exception e) {
            Files.deleteIfExists(real);
            throw e;
        }
    }

    // The owner alone in the access list, which icacls (not Java) keeps from inheriting more.
    private static Path protect(Path folder) throws Exception {
        AclFileAttributeView acl = Files.getFileAttributeView(folder, AclFileAttributeView.class);
        acl.setAcl(Collections.singletonList(AclEntry.newBuilder().setType(AclEntryType.ALLOW)
                .setPrincipal(acl.getOwner()).setPermissions(AclEntryPermission.values())
                .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build()));
        Process icacls = new ProcessBuilder(System.getenv().getOrDefault("SystemRoot",
                "C:\\Windows") + "\\System32\\icacls.exe", folder.toString(), "/inheritance:r",
                "/q").redirectErrorStream(true).redirectOutput(new File("NUL")).start();
        if (!icacls.waitFor(60, java.util.concurrent.TimeUnit.SECONDS) || icacls.exitValue() != 0) {
            icacls.destroyForcibly();
            throw new IOException("icacls could not protect its access list");
        }
        return folder;
    }

    // Returns folder if it and its parent are the user's and no one else may change them, and (but
    // on Windows) each folder above is the user's or root's, others' to write only if sticky over
    // one of the user's (as /tmp: others may make folders there, but not touch the user's).
    private static Path check(Path folder) throws IOException {
        Path probe = Files.createTempFile(folder, ".owner", ".tmp"); // not the user by name: an
        UserPrincipal self, below = null; // elevated administrator's files belong to a group
        try {
            self = Files.getOwner(probe);
        } finally {
            Files.delete(probe);
        }
        for (Path on = folder; on != null; on = WINDOWS && on != folder ? null : on.getParent()) {
            boolean ours = on == folder || on.equals(folder.getParent());
            boolean root = !WINDOWS && Files.getAttribute(on, "unix:uid", NOFOLLOW).equals(0);
            int mode = WINDOWS ? 0 : (Integer) Files.getAttribute(on, "unix:mode", NOFOLLOW);
            UserPrincipal owner = Files.getOwner(on, NOFOLLOW);
            // Java shows no generic rights: only an entry for what is made inside, or one showing
            // no right at all, may hold them.
            String wrong = !Files.isDirectory(on, NOFOLLOW) ? "not a folder (or a symbolic link)"
                    : !owner.equals(self) && (ours || !root) ? "owned by " + owner.getName()
                            + (ours ? ", not by you" : ", neither you nor root")
                    : (mode & 022) != 0 && (ours || (mode & 01000) == 0 || !self.equals(below))
                    ? "others may write to it (mode " + Integer.toOctalString(mode & 07777)
                            + (ours ? ")" : ", and it is not a sticky one holding a folder"
                                    + " of yours)")
                    : !WINDOWS ? null : Files.getFileAttributeView(on, AclFileAttributeView.class,
                            NOFOLLOW).getAcl().stream().filter(e -> e.type() == AclEntryType.ALLOW
                                    && !e.principal().equals(self) && (e.permissions().isEmpty()
                                    || e.flags().contains(AclEntryFlag.INHERIT_ONLY)
                                    || !Collections.disjoint(e.permissions(), CHANGE)))
                            .map(e -> e.principal().getName() + " may change it " + e.permissions())
                            .findFirst().orElse(null);
            if (wrong != null) {
                throw new AccessDeniedException(on + (ours ? ": " : ", a folder above it: ")
                        + wrong);
            }
            below = owner;
        }
        return folder;
    }

    // This jar's list of its files for this platform: name to SHA-256, in order.
    private static Map<String, String> index() throws IOException {
        Map<String, String> files = new LinkedHashMap<>();
        for (String line : new String(resource(INDEX), StandardCharsets.UTF_8).split("\n")) {
            if (!line.trim().matches("[0-9a-f]{64} [ *][A-Za-z0-9._-]+")) {
                throw new IOException("unreadable line in " + INDEX + ": " + line);
            }
            files.put(line.trim().substring(66), line.trim().substring(0, 64));
        }
        return files;
    }

    // A file of this platform's in this jar, or with a leading "/" any of its resources.
    private static byte[] resource(String name) throws IOException {
        String path = name.startsWith("/") ? name : "/" + BASE + name;
        try (InputStream in = Optional.ofNullable(NativeLoader.class.getResourceAsStream(path))
                .orElseThrow(() -> new NoSuchFileException(path, null, "not in this jar"))) {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] buffer = new byte[65536];
            for (int n; (n = in.read(buffer)) >= 0; ) {
                bytes.write(buffer, 0, n);
            }
            return bytes.toByteArray();
        }
    }

    private static boolean holds(Path file, String sha256) throws Exception {
        return Files.isRegularFile(file, NOFOLLOW)
                && sha256.equals(sha256(Files.readAllBytes(file)));
    }

    private static String sha256(byte[] bytes) throws Exception {
        return String.format("%064x",
                new BigInteger(1, MessageDigest.getInstance("SHA-256").digest(bytes)));
    }

    private static String under(String folder, String name) {
        return folder == null || folder.isEmpty() ? null : folder + name;
    }

    private static String reason(Throwable e) {
        return e.getClass().getSimpleName() + (e.getMessage() != null ? ": " + e.getMessage() : "");
    }

    /** The running JVM's platform, as the jar's folders name them. */
    static final class Platform {
        private static final Platform CURRENT = new Platform();
        private final String os = System.getProperty("os.name", "?");
        private final String arch = System.getProperty("os.arch", "?");
        private final String bits = System.getProperty("sun.arch.data.model", "?");
        /** The folder under {@link #RESOURCES}, or null for a platform the jar has nothing for. */
        final String folder = !os.matches("(Windows|Linux).*") // the JVM loads it, maybe 32-bit
                || !arch.matches("(?i)amd64|x86_64|i[3-6]86|x86") ? null
                : (os.startsWith("Windows") ? "windows" : "linux")
                        + (arch.matches("(?i)amd64|x86_64") && !"32".equals(bits) ? "-x86_64"
                                : "-x86");
        final String library = os.startsWith("Windows") ? "morlane.dll" : "libmorlane.so";

        static Platform current() { return CURRENT; }

        @Override
        public String toString() {
            return (folder != null ? folder : "an unsupported platform") + " (os.name " + os
                    + ", os.arch " + arch + ", " + bits + "-bit JVM)";
        }
    }
}

package morlane;

import java.io.*;
import java.nio.channels.*;
import java.nio.charset.*;
import java.nio.file.*;
import java.nio.file.attribute.*;
import java.util.*;

/**
 * Loads the bridge, {@code libmorlane.so} or {@code morlane.dll}, for {@link lathwork.Brenmoor}
 * and {@link CallRecord}, which call {@link #load()} first: from {@code java.library.path} when it
 * is there, else from this jar's {@code morlane/natives/<platform>/}, copied with the host program
 * into a cache folder named by version and content hash: {@code -Dmorlane.cache}, else on Windows
 * {@code %LOCALAPPDATA%\morlane} or the profile's {@code AppData\Local\morlane} (never {@code
 * java.io.tmpdir}), elsewhere {@code $XDG_CACHE_HOME/morlane} or {@code ~/.cache/morlane}, then
 * {@code <java.io.tmpdir>/morlane-<user>}. Folders it makes are the user's alone; it uses none
 * that someone else could change, nor one the file-name encoding cannot represent. A JVM holds a
 * shared lock on {@code <folder>.lock} while it runs, and removes other versions' folders that no
 * JVM holds. The release notes ({@code docs/releases.md}) say it all in detail. On JDK 22 and
 * later pass {@code --enable-native-access=ALL-UNNAMED} ({@code =morlane} on the module path).
 */
public final class NativeLoader {
    /** The resource folder of the natives inside the jar. */
    static final String RESOURCES = "morlane/natives/";
    /** The list of one platform's files, with their SHA-256, as {@code sha256sum} writes it. */
    static final String INDEX = "SHA256SUMS";

    private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    private static final LinkOption NOFOLLOW = LinkOption.NOFOLLOW_LINKS;
    private static final Set<PosixFilePermission> USER =
            PosixFilePermissions.fromString("rwx------");
    // The rights that let someone change a folder: put, delete or rename what is in it.
    private static final Set<AclEntryPermission> CHANGE = EnumSet.of(AclEntryPermission.WRITE_DATA,
            AclEntryPermission.APPEND_DATA, AclEntryPermission.DELETE_CHILD,
            AclEntryPermission.DELETE, AclEntryPermission.WRITE_ACL,
            AclEntryPermission.WRITE_OWNER);
    private static final Object LOCK = new Object();
    private static String loadedFrom;
    private static UnsatisfiedLinkError failure;
    private static FileChannel held; // the lock on the folder loaded from, for the JVM's life

    private NativeLoader() {}

    /**
     * Loads the bridge once per JVM; later calls return at once, or throw the first one's error.
     *
     * @throws UnsatisfiedLinkError naming the platform detected and each place tried, with why
     */
    public static void load() {
        synchronized (LOCK) {
            if (loadedFrom == null && failure == null) {
                List<String> tried = new ArrayList<>();
                try {
                    System.loadLibrary("morlane");
                    loadedFrom = "java.library.path";
                } catch (UnsatisfiedLinkError e) {
                    tried.add("java.library.path (" + System.getProperty("java.library.path")
                            + "): " + e.getMessage());
                    loadedFrom = loadFromJar(Platform.current(), tried);
                }
                failure = loadedFrom != null ? null : new UnsatisfiedLinkError("morlane: cannot"
                        + " load the bridge library for " + Platform.current() + ". Tried: "
                        + String.join("; ", tried));
            }
            if (failure != null) {
                throw failure;
            }
        }
    }

    /**
     * Where the bridge came from: {@code "java.library.path"}, or the file taken from this jar.
     *
     * @return the place, or null before the bridge was loaded
     */
    public static String loadedFrom() {
        synchronized (LOCK) {
            return loadedFrom;
        }
    }

    private static String loadFromJar(Platform platform, List<String> tried) {
        String base = RESOURCES + platform.folder + "/";
        String name;
        if (platform.folder == null) {
            tried.add("this jar: it holds no bridge for this platform (it has linux-x86_64,"
                    + " linux-x86, windows-x86, windows-x86_64)");
            return null;
        }
        try {
            name = version() + "-" + sha256(resource(base + INDEX)).substring(0, 16);
            index(base);
        } catch (IOException e) {
            tried.add("this jar: " + base + INDEX + ": " + reason(e));
            return null;
        }
        for (String folder : cacheFolders(tried)) {
            folder += File.separator + name;
            try {
                Path path = extract(hold(Paths.get(folder)), base).resolve(platform.library);
                try {
                    System.load(path.toString());
                } catch (UnsatisfiedLinkError e) { // a folder that cannot load (noexec): the next
                    tried.add(path + " (from this jar): " + e.getMessage());
                    continue;
                }
                removeUnused(path.getParent());
                return path.toString();
            } catch (IOException | RuntimeException e) {
                tried.add(folder + " (cache for this jar's " + base + "): " + reason(e));
            }
        }
        return null;
    }

    // Called by the bridge through JNI after a failed start: files gone from the bridge's folder
    // (a cache cleaned while the program ran) are copied back. Null when the bridge is not the
    // jar's or nothing is missing, "" when the files are back, else why not and what to do.
    private static String restoreCache() {
        String from = loadedFrom();
        if (from == null || from.equals("java.library.path")) {
            return null;
        }
        Path folder = Paths.get(from).getParent();
        String base = RESOURCES + Platform.current().folder + "/";
        try {
            if (index(base).keySet().stream()
                    .allMatch(file -> Files.isRegularFile(folder.resolve(file), NOFOLLOW))) {
                return null;
            }
            extract(hold(folder), base);
            return "";
        } catch (IOException | RuntimeException e) {
            return "the cache folder " + folder + " was cleaned while this program ran, and this"
                    + " jar could not put the files back (" + reason(e) + "): restart the program,"
                    + " and keep cleaners out of the cache or move it (-Dmorlane.cache=<folder>)";
        }
    }

    // The version the build put beside these classes: an uber-jar's manifest is not ours.
    static String version() {
        try {
            String version = new String(resource("morlane/version"), StandardCharsets.UTF_8).trim();
            return version.matches("[A-Za-z0-9._-]+") ? version : "dev";
        } catch (IOException e) {
            return "dev";
        }
    }

    private static Set<String> cacheFolders(List<String> tried) {
        String home = System.getProperty("user.home", "?");
        String local = System.getenv("LOCALAPPDATA");
        String xdg = System.getenv("XDG_CACHE_HOME");
        String tmp = System.getProperty("java.io.tmpdir", "");
        String user = System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
        Set<String> names = new LinkedHashSet<>(WINDOWS // a service may lack LOCALAPPDATA
                ? Arrays.asList(System.getProperty("morlane.cache"),
                        local == null || local.isEmpty() ? null : local + "\\morlane",
                        home.matches("\\??") ? null : home + "\\AppData\\Local\\morlane")
                : Arrays.asList(System.getProperty("morlane.cache"),
                        xdg != null && xdg.startsWith("/") ? xdg + "/morlane"
                                : home.matches("\\??") ? null : home + "/.cache/morlane",
                        tmp.isEmpty() ? null : tmp + "/morlane-" + user));
        names.removeAll(Arrays.asList(null, ""));
        String jvm = System.getProperty("java.specification.version", "");
        try { // Windows JVMs from 17 on no longer load libraries through the ANSI API
            CharsetEncoder encoding = WINDOWS && !jvm.matches("1\\..*|9|1[0-6]") ? null
                    : Charset.forName(System.getProperty("sun.jnu.encoding")).newEncoder();
            for (Iterator<String> name = names.iterator(); encoding != null && name.hasNext(); ) {
                String folder = name.next();
                if (!encoding.canEncode(folder)) {
                    name.remove();
                    tried.add(folder + ": passed over, the JVM's file-name encoding ("
                            + encoding.charset() + ") cannot represent it;"
                            + " -Dmorlane.cache=<folder> names another");
                }
            }
        } catch (RuntimeException e) {
            // No such property or charset: nothing to judge the names by.
        }
        return names;
    }

    // Puts base's files into folder, each whole under a temporary name, then renamed into place.
    private static Path extract(Path folder, String base) throws IOException {
        for (Map.Entry<String, String> file : index(base).entrySet()) {
            Path target = folder.resolve(file.getKey());
            if (holds(target, file.getValue())) {
                continue;
            }
            byte[] content = resource(base + file.getKey());
            if (!file.getValue().equals(sha256(content))) {
                throw new IOException(base + file.getKey() + " in this jar does not match its"
                        + " SHA-256 in " + INDEX + ": the jar is damaged");
            }
            Path temporary = Files.createTempFile(folder, "." + file.getKey(), ".tmp");
            try {
                Files.write(temporary, content);
                if (!WINDOWS) { // the host is started as a program, the library mapped executable
                    Files.setPosixFilePermissions(temporary, USER);
                }
                Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE,
                        StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // Windows will not replace a file in use: a JVM holding it checked that content.
                if (!holds(target, file.getValue())) {
                    throw e;
                }
            } finally {
                Files.deleteIfExists(temporary);
            }
        }
        return folder;
    }

    private static boolean holds(Path file, String sha256) throws IOException {
        return Files.isRegularFile(file, NOFOLLOW)
                && sha256.equals(sha256(Files.readAllBytes(file)));
    }

    // Makes folder private (made, check) and holds a shared lock on <folder>.lock while this JVM
    // runs. The lock files stay: removing one would let a JVM that opened it hold a lock no other
    // JVM can see.
    private static Path hold(Path folder) throws IOException {
        Path usable = check(made(folder.toAbsolutePath()));
        if (held != null) {
            held.close(); // the folder held before did not work out, or was cleaned away
        }
        held = lockFile(usable);
        held.lock(0, Long.MAX_VALUE, true);
        // A JVM of another version may have removed the folder just before the lock was taken.
        return Files.isDirectory(usable, NOFOLLOW) ? usable : check(made(folder.toAbsolutePath()));
    }

    private static FileChannel lockFile(Path folder) throws IOException {
        return FileChannel.open(folder.resolveSibling(folder.getFileName() + ".lock"),
                StandardOpenOption.READ, StandardOpenOption.WRITE, StandardOpenOption.CREATE);
    }

    // Removes other versions' folders that no running JVM holds; this version's stay.
    private static void removeUnused(Path ours) {
        try (DirectoryStream<Path> folders = Files.newDirectoryStream(ours.getParent(),
                "*-????????????????")) {
            for (Path folder : folders) {
                if (folder.getFileName().toString().startsWith(version() + "-")
                        || !Files.isDirectory(folder, NOFOLLOW)) {
                    continue;
                }
                try (FileChannel channel = lockFile(folder); FileLock alone = channel.tryLock();
                        java.util.stream.Stream<Path> inside = Files.walk(folder)) {
                    Iterator<Path> deepest = inside.sorted(Comparator.reverseOrder()).iterator();
                    while (alone != null && deepest.hasNext()) { // no lock: a running JVM's
                        Files.delete(deepest.next()); // links, not their targets
                    }
                } catch (IOException | RuntimeException e) {
                    // In use after all (Windows keeps a loaded library): the next JVM tries again.
                }
            }
        } catch (IOException | RuntimeException e) {
            // No listing, no removal: the next JVM tries again.
        }
    }

    // The real path of folder, made for the user alone, with what is on its way, when missing.
    private static Path made(Path folder) throws IOException {
        if (Files.exists(folder, NOFOLLOW)) {
            return folder.toRealPath(); // the real folders are the ones checked and used
        }
        Path real = made(folder.getParent()).resolve(folder.getFileName().toString());
        try {
            Files.createDirectory(real, WINDOWS ? new FileAttribute<?>[0]
                    : new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(USER)});
        } catch (FileAlreadyExistsException exists) {
            return real; // left to the checks
        }
        try {
            if (!WINDOWS) { // the mode asked for at creation passes through the umask
                Files.setPosixFilePermissions(real, USER);
                return real;
            }
            AclFileAttributeView acl = Files.getFileAttributeView(real, AclFileAttributeView.class);
            acl.setAcl(Collections.singletonList(AclEntry.newBuilder().setType(AclEntryType.ALLOW)
                    .setPrincipal(acl.getOwner()).setPermissions(AclEntryPermission.values())
                    .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build()));
            // Java cannot protect an access list from what the folder above passes down later.
            Process icacls = new ProcessBuilder(System.getenv().getOrDefault("SystemRoot",
                    "C:\\Windows") + "\\System32\\icacls.exe", real.toString(), "/inheritance:r",
                    "/q").redirectErrorStream(true)
                    .redirectOutput(ProcessBuilder.Redirect.to(new File("NUL"))).start();
            if (icacls.waitFor(60, java.util.concurrent.TimeUnit.SECONDS)
                    && icacls.exitValue() == 0) {
                return real;
            }
            icacls.destroyForcibly();
            throw new IOException("icacls could not protect its access list");
        } catch (IOException | RuntimeException | InterruptedException e) {
            Files.deleteIfExists(real);
            throw e instanceof IOException ? (IOException) e : new IOException(e);
        }
    }

    // Returns folder when it and the one it lies in are the user's and no one else may change
    // them, and (but on Windows) every folder above is the user's or root's and writable by no one
    // else but a sticky one holding a folder of the user's; throws otherwise.
    private static Path check(Path folder) throws IOException {
        UserPrincipal self = null;
        UserPrincipal below = null;
        for (Path on = folder; on != null; on = on.getParent()) {
            boolean ours = on.equals(folder) || on.equals(folder.getParent());
            if (WINDOWS && !ours) {
                break;
            }
            String which = ours ? on + ": " : on + ", a folder above it: ";
            if (!Files.isDirectory(on, NOFOLLOW)) {
                throw new IOException(which + "not a folder (or a symbolic link)");
            }
            if (self == null) {
                // The user as the owner a new file gets, not by name: on Windows an elevated
                // administrator's files belong to the Administrators group.
                Path probe = Files.createTempFile(on, ".owner", ".tmp");
                try {
                    self = Files.getOwner(probe);
                } finally {
                    Files.delete(probe);
                }
            }
            UserPrincipal owner = Files.getOwner(on, NOFOLLOW);
            Map<String, Object> unix = WINDOWS ? Collections.<String, Object>emptyMap()
                    : Files.readAttributes(on, "unix:uid,mode", NOFOLLOW);
            int mode = (Integer) unix.getOrDefault("mode", 0);
            String wrong = null;
            if (!owner.equals(self) && (ours || !Integer.valueOf(0).equals(unix.get("uid")))) {
                wrong = "owned by " + owner.getName()
                        + (ours ? ", not by you" : ", neither you nor root");
            } else if ((mode & 022) != 0 && (ours || (mode & 01000) == 0 || !self.equals(below))) {
                // In a sticky folder (/tmp) others may make folders, but not touch the user's.
                wrong = "others may write to it (mode " + Integer.toOctalString(mode & 07777)
                        + (ours ? ")" : ", and it is not a sticky one holding a folder of yours)");
            }
            for (AclEntry entry : WINDOWS && wrong == null ? Files.getFileAttributeView(on,
                    AclFileAttributeView.class, NOFOLLOW).getAcl() : new ArrayList<AclEntry>()) {
                // Java shows no generic rights (GENERIC_WRITE, GENERIC_ALL), which only an entry
                // for what is made inside, or one that shows no right at all, may hold.
                if (entry.type() == AclEntryType.ALLOW && !entry.principal().equals(self)
                        && (entry.permissions().isEmpty()
                                || entry.flags().contains(AclEntryFlag.INHERIT_ONLY)
                                || !Collections.disjoint(entry.permissions(), CHANGE))) {
                    wrong = entry.principal().getName() + " may change it " + entry.permissions();
                }
            }
            if (wrong != null) {
                throw new AccessDeniedException(on.toString(), null, which + wrong);
            }
            below = owner;
        }
        return folder;
    }

    // This jar's list of base's files: name to SHA-256, in order.
    private static Map<String, String> index(String base) throws IOException {
        Map<String, String> files = new LinkedHashMap<>();
        for (String line : new String(resource(base + INDEX), StandardCharsets.UTF_8).split("\n")) {
            String[] parts = line.trim().split(" [ *]", 2);
            if (parts.length != 2 || !parts[0].matches("[0-9a-f]{64}")
                    || !parts[1].matches("[A-Za-z0-9._-]+")) {
                throw new IOException("unreadable line in " + INDEX + ": " + line);
            }
            files.put(parts[1], parts[0]);
        }
        return files;
    }

    private static byte[] resource(String name) throws IOException {
        try (InputStream in = NativeLoader.class.getResourceAsStream("/" + name)) {
            if (in == null) {
                throw new NoSuchFileException(name, null, "not in this jar");
            }
            ByteArrayOutputStream bytes = new ByteArrayOutputStream();
            byte[] buffer = new byte[65536];
            for (int n; (n = in.read(buffer)) >= 0; ) {
                bytes.write(buffer, 0, n);
            }
            return bytes.toByteArray();
        }
    }

    private static String sha256(byte[] bytes) {
        try {
            return String.format("%064x", new java.math.BigInteger(1,
                    java.security.MessageDigest.getInstance("SHA-256").digest(bytes)));
        } catch (java.security.NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    private static String reason(Exception e) {
        if (e instanceof AccessDeniedException && ((AccessDeniedException) e).getReason() != null) {
            return "refused, " + ((AccessDeniedException) e).getReason();
        }
        return e.getClass().getSimpleName() + (e.getMessage() != null ? ": " + e.getMessage() : "");
    }

    /** The running JVM's platform, as the jar's folders name them. */
    static final class Platform {
        /** The folder under {@link #RESOURCES}, or null for a platform the jar has nothing for. */
        final String folder;
        final String library;
        private final String name;

        private Platform(String os, String arch, String bits) {
            String system = os.startsWith("Windows") ? "windows"
                    : os.startsWith("Linux") ? "linux" : null;
            // A 64-bit processor may run a 32-bit JVM; it is the JVM that loads the bridge.
            String cpu = arch.matches("(?i)amd64|x86_64") && !"32".equals(bits) ? "x86_64"
                    : arch.matches("(?i)amd64|x86_64|i[3-6]86|x86") ? "x86" : null;
            folder = system != null && cpu != null ? system + "-" + cpu : null;
            library = "windows".equals(system) ? "morlane.dll" : "libmorlane.so";
            name = (folder != null ? folder : "an unsupported platform") + " (os.name " + os
                    + ", os.arch " + arch + ", " + bits + "-bit JVM)";
        }

        static Platform current() {
            return new Platform(System.getProperty("os.name", "?"),
                    System.getProperty("os.arch", "?"),
                    System.getProperty("sun.arch.data.model", "?"));
        }

        @Override
        public String toString() {
            return name;
        }
    }
}

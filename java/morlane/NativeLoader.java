package morlane;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.channels.FileChannel;
import java.nio.channels.FileLock;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryFlag;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Comparator;
import java.util.EnumSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.stream.Stream;

/**
 * Finds and loads the bridge library, {@code libmorlane.so} or {@code morlane.dll}, for
 * {@link lathwork.Brenmoor} and {@link CallRecord}; both call {@link #load()} before their first
 * native call, so a program never needs to call it itself.
 *
 * <p>The bridge is looked for in two places, in this order:
 *
 * <ol>
 *   <li><b>{@code java.library.path}</b>, through {@link System#loadLibrary(String)}: a bridge
 *       deployed there is always preferred, so existing installations keep working unchanged.
 *   <li><b>This jar.</b> It holds the bridge for 64-bit Linux (with {@code morlane-host32}), 32-bit
 *       Linux, 32-bit Windows and 64-bit Windows (with {@code morlane-host32.exe}) under {@code
 *       morlane/natives/<platform>/}. The one for the running JVM, chosen by {@code os.name},
 *       {@code os.arch} and the JVM's data model, is copied with the host program that must lie
 *       beside it into a cache folder named by the version and a hash of the files, and loaded
 *       from there by its real path. Each file is written under a temporary name and renamed
 *       into place; one found there from an earlier run is used only if it matches its hash. A
 *       {@code start} that finds the files gone (a cache cleaned while the program ran) has them
 *       copied again, or its load failure says why they could not be.
 * </ol>
 *
 * <p>The cache folder is {@code morlane} inside, best first: the folder named by {@code
 * -Dmorlane.cache=<folder>} (itself); on Windows {@code %LOCALAPPDATA%}, or the profile's {@code
 * AppData\Local}, but never {@code java.io.tmpdir} (a service's is {@code C:\Windows\Temp}, where
 * any user could make the folder first); elsewhere {@code $XDG_CACHE_HOME} or {@code ~/.cache},
 * then {@code java.io.tmpdir} ({@code morlane-<user>} there). A folder whose path the JVM's
 * file-name encoding ({@code sun.jnu.encoding}) cannot represent is passed over, as no library
 * could be loaded from it (on Windows, where that is the ANSI code page, only by JVMs before 17,
 * which load libraries through the ANSI API): name another with {@code morlane.cache}. {@code
 * java -jar morlane-<version>.jar} shows the folder in use, with the rest of what it checks.
 *
 * <p><b>Cleaning the cache.</b> A JVM holds a shared lock on {@code <folder>.lock}, beside the
 * folder it loaded the bridge from, for as long as it runs. Once it has loaded the bridge, it
 * removes each folder of another version whose lock it can take exclusively, which no running
 * JVM uses: old versions go by themselves. The empty lock files stay. By hand: delete the cache
 * folder, or a folder in it, while no program using it runs; a program that runs meanwhile
 * copies its files back at its next {@code start}.
 *
 * <p>The folders it makes are the user's alone whatever the umask: mode 700, or on Windows an
 * access list naming the owner alone, protected from what the folder above passes down. It uses
 * none that someone else could change: the cache folder and the folder in it must be the user's
 * and grant no one else write access (on Windows: no right to write or append data, delete, delete
 * children, change the access list or owner, nor generic rights); elsewhere than on Windows, each
 * folder above them must be the user's or root's and writable by no one else, but for a sticky
 * one (such as {@code /tmp}) directly holding a folder of the user's.
 *
 * <p>When neither place gives a bridge the JVM can load, {@link #load()} throws {@link
 * UnsatisfiedLinkError} naming the platform it detected and every place it tried, each with the
 * operating system's reason; the same error is thrown again by every later call.
 *
 * <p><b>Native access, JDK 22 and later.</b> On the class path pass {@code
 * --enable-native-access=ALL-UNNAMED}, on the module path {@code --enable-native-access=morlane};
 * a program started with {@code java -jar} puts {@code Enable-Native-Access: ALL-UNNAMED} in its
 * manifest instead, as this jar does. Without it JDK 24 and later warn at the first load of a
 * native library, and later JDKs will refuse it. JDK 17 and later accept the option; earlier
 * JDKs refuse it.
 */
public final class NativeLoader {
    /** The resource folder of the natives inside the jar. */
    static final String RESOURCES = "morlane/natives/";

    /** The list of one platform's files, with their SHA-256, as {@code sha256sum} writes it. */
    static final String INDEX = "SHA256SUMS";

    private static final boolean WINDOWS = System.getProperty("os.name", "").startsWith("Windows");
    private static final Set<PosixFilePermission> OWNER_ONLY =
            PosixFilePermissions.fromString("rwx------");
    /** The rights that let someone change a folder: put, delete or rename what is in it. */
    private static final Set<AclEntryPermission> CHANGE = EnumSet.of(
            AclEntryPermission.WRITE_DATA, AclEntryPermission.APPEND_DATA,
            AclEntryPermission.DELETE_CHILD, AclEntryPermission.DELETE,
            AclEntryPermission.WRITE_ACL, AclEntryPermission.WRITE_OWNER);

    private static final Object LOCK = new Object();
    private static String loadedFrom;
    private static UnsatisfiedLinkError failure;
    /** The lock on the folder the bridge was loaded from, kept open for the JVM's life. */
    private static FileChannel held;

    private NativeLoader() {}

    /**
     * Loads the bridge library once per JVM; later calls return at once, or throw the first call's
     * error again.
     *
     * @throws UnsatisfiedLinkError when the bridge could be loaded neither from {@code
     *     java.library.path} nor from this jar; its message names the detected platform, each
     *     place tried and why it failed there
     */
    public static void load() {
        synchronized (LOCK) {
            if (loadedFrom != null) {
                return;
            }
            if (failure != null) {
                throw failure;
            }
            List<String> tried = new ArrayList<>();
            try {
                System.loadLibrary("morlane");
                loadedFrom = "java.library.path";
                return;
            } catch (UnsatisfiedLinkError e) {
                tried.add("java.library.path (" + System.getProperty("java.library.path") + "): "
                        + e.getMessage());
            }
            Platform platform = Platform.current();
            if (platform.folder == null) {
                tried.add("this jar: it holds no bridge for this platform (it has linux-x86_64,"
                        + " linux-x86, windows-x86, windows-x86_64)");
            } else {
                String file = loadFromJar(platform, tried);
                if (file != null) {
                    loadedFrom = file;
                    return;
                }
            }
            failure = new UnsatisfiedLinkError("morlane: cannot load the bridge library for "
                    + platform + ". Tried: " + String.join("; ", tried));
            throw failure;
        }
    }

    /**
     * Where the bridge was loaded from: {@code "java.library.path"}, or the path of the file
     * extracted from this jar; null before it was loaded.
     *
     * @return the place, or null
     */
    public static String loadedFrom() {
        synchronized (LOCK) {
            return loadedFrom;
        }
    }

    /** Returns the loaded file's path, or null after adding why each attempt failed to tried. */
    private static String loadFromJar(Platform platform, List<String> tried) {
        String base = RESOURCES + platform.folder + "/";
        Map<String, String> files;
        byte[] index;
        try {
            index = resource(base + INDEX);
            files = parseIndex(index);
        } catch (IOException e) {
            tried.add("this jar: " + base + INDEX + ": " + reason(e));
            return null;
        }
        String name = version() + "-" + hex(newDigest().digest(index)).substring(0, 16);
        for (String cache : cacheFolders(tried)) {
            String folder = cache + File.separator + name;
            try {
                Path usable = extractAll(hold(Paths.get(folder)), base, files);
                Path path = usable.resolve(platform.library);
                try {
                    System.load(path.toString());
                    removeUnused(usable);
                    return path.toString();
                } catch (UnsatisfiedLinkError e) {
                    tried.add(path + " (from this jar): " + e.getMessage());
                    // A folder that took the files but cannot load them (noexec) gives way to the next.
                }
            } catch (IOException | RuntimeException e) {
                tried.add(folder + " (cache for this jar's " + base + "): " + reason(e));
            }
        }
        return null;
    }

    /**
     * Called by the bridge, through JNI, when a start failed: files gone from the folder the
     * bridge was loaded from, most likely the host program with a cache cleaned while the program
     * ran, are copied there again. Never throws.
     *
     * @return null when the bridge did not come from this jar or its folder lacks nothing; "" when
     *     the missing files are back; otherwise why they are not, and what to do
     */
    private static String restoreCache() {
        String from = loadedFrom();
        if (from == null || from.equals("java.library.path")) {
            return null;
        }
        Path folder = Paths.get(from).getParent();
        String base = RESOURCES + Platform.current().folder + "/";
        try {
            Map<String, String> files = parseIndex(resource(base + INDEX));
            if (files.keySet().stream().allMatch(file -> Files.isRegularFile(folder.resolve(file),
                    LinkOption.NOFOLLOW_LINKS))) {
                return null;
            }
            extractAll(hold(folder), base, files);
            return "";
        } catch (IOException | RuntimeException e) {
            return "the cache folder " + folder + " was cleaned while this program ran, and this"
                    + " jar could not put the files back (" + reason(e) + "): restart the program,"
                    + " and keep cleaners out of the cache or move it (-Dmorlane.cache=<folder>)";
        }
    }

    /**
     * The version the build put beside these classes, or "dev". Not the manifest's: an uber-jar
     * brings its own, and a jlink image or a named module has none to read.
     */
    static String version() {
        try {
            String version = new String(resource("morlane/version"), StandardCharsets.UTF_8).trim();
            return version.matches("[A-Za-z0-9._-]+") ? version : "dev";
        } catch (IOException e) {
            return "dev";
        }
    }

    /**
     * The cache folders to try, best first: each is the parent of the versioned folder, and is
     * created (user-only) when missing. A folder passed over is added to tried.
     */
    static List<String> cacheFolders(List<String> tried) {
        List<String> names = new ArrayList<>();
        names.add(System.getProperty("morlane.cache"));
        String home = System.getProperty("user.home");
        boolean hasHome = home != null && !home.isEmpty() && !"?".equals(home);
        if (WINDOWS) {
            String local = System.getenv("LOCALAPPDATA");
            names.add(local != null && !local.isEmpty() ? local + "\\morlane" : null);
            // A service may lack the variable, not the folder. java.io.tmpdir is no choice here.
            names.add(hasHome ? home + "\\AppData\\Local\\morlane" : null);
        } else {
            String xdg = System.getenv("XDG_CACHE_HOME");
            names.add(xdg != null && xdg.startsWith("/") ? xdg + "/morlane"
                    : hasHome ? home + "/.cache/morlane" : null);
            String tmp = System.getProperty("java.io.tmpdir");
            String user = System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
            names.add(tmp != null && !tmp.isEmpty() ? tmp + "/morlane-" + user : null);
        }
        // A name the file-name encoding cannot represent cannot even be given to the system,
        // except by Windows JVMs from 17 on, which no longer load libraries through the ANSI API.
        String jvm = System.getProperty("java.specification.version", "");
        java.nio.charset.CharsetEncoder encoding = null;
        try {
            if (!WINDOWS || jvm.matches("1\\..*|9|1[0-6]")) {
                encoding = Charset.forName(System.getProperty("sun.jnu.encoding")).newEncoder();
            }
        } catch (RuntimeException e) {
            // No such property or charset: nothing to judge the names by.
        }
        List<String> folders = new ArrayList<>();
        for (String name : names) {
            if (encoding != null && name != null && !encoding.canEncode(name)) {
                tried.add(name + ": passed over, the JVM's file-name encoding ("
                        + encoding.charset() + ") cannot represent it; -Dmorlane.cache=<folder>"
                        + " names another");
            } else if (name != null && !name.isEmpty() && !folders.contains(name)) {
                folders.add(name);
            }
        }
        return folders;
    }

    /** Puts each listed file into folder; returns it. */
    private static Path extractAll(Path folder, String base, Map<String, String> files)
            throws IOException {
        for (Map.Entry<String, String> file : files.entrySet()) {
            extract(base + file.getKey(), folder.resolve(file.getKey()), file.getValue());
        }
        return folder;
    }

    /**
     * Makes folder private ({@link #prepare}) and holds a shared lock on {@code <folder>.lock}
     * beside it for as long as this JVM runs; returns the folder's real path. The lock files stay:
     * removing one would let a JVM that opened it hold a lock no other JVM can see.
     */
    private static Path hold(Path folder) throws IOException {
        Path usable = prepare(folder);
        if (held != null) {
            held.close(); // the folder held before did not work out, or was cleaned away
        }
        held = lockFile(usable);
        held.lock(0, Long.MAX_VALUE, true);
        // A JVM of another version may have removed the folder just before the lock was taken.
        return Files.isDirectory(usable, LinkOption.NOFOLLOW_LINKS) ? usable : prepare(folder);
    }

    /** Opens {@code <folder>.lock}, made when missing, for either kind of lock. */
    private static FileChannel lockFile(Path folder) throws IOException {
        return FileChannel.open(folder.resolveSibling(folder.getFileName() + ".lock"),
                StandardOpenOption.READ, StandardOpenOption.WRITE, StandardOpenOption.CREATE);
    }

    /**
     * Removes the folders of other versions in the cache that no running JVM holds (see {@link
     * #hold}). This version's folders for other platforms stay, for a JVM of the other kind to
     * come. A folder anything is in the way of is left for the next JVM.
     */
    private static void removeUnused(Path ours) {
        String mine = version() + "-";
        try (DirectoryStream<Path> folders = Files.newDirectoryStream(ours.getParent(),
                "*-????????????????")) {
            for (Path folder : folders) {
                if (folder.getFileName().toString().startsWith(mine)
                        || !Files.isDirectory(folder, LinkOption.NOFOLLOW_LINKS)) {
                    continue;
                }
                try (FileChannel channel = lockFile(folder); FileLock alone = channel.tryLock();
                        Stream<Path> inside = Files.walk(folder)) { // links, not their targets
                    if (alone == null) {
                        continue; // a running JVM holds it
                    }
                    Iterable<Path> deepest = inside.sorted(Comparator.reverseOrder())::iterator;
                    for (Path file : deepest) {
                        Files.delete(file);
                    }
                } catch (IOException | RuntimeException e) {
                    // In use after all (Windows keeps a loaded library): the next JVM tries again.
                }
            }
        } catch (IOException | RuntimeException e) {
            // No listing, no removal: the next JVM tries again.
        }
    }

    /**
     * Makes {@code folder} and what is missing on its way exist for the user alone, and returns
     * its real path; throws when a folder on the way could be changed by someone else.
     */
    static Path prepare(Path folder) throws IOException {
        Path existing = folder.toAbsolutePath();
        List<Path> missing = new ArrayList<>();
        for (; existing != null && !Files.exists(existing, LinkOption.NOFOLLOW_LINKS);
                existing = existing.getParent()) {
            missing.add(0, existing.getFileName());
        }
        // Through links to the real folders: those are the ones checked, and used from now on.
        Path real = existing.toRealPath();
        for (Path name : missing) {
            real = real.resolve(name.toString());
            makePrivate(real);
        }
        check(real);
        return real;
    }

    /** Creates folder for the user alone; one that exists already is left to the checks. */
    private static void makePrivate(Path folder) throws IOException {
        try {
            if (WINDOWS) {
                Files.createDirectory(folder);
            } else {
                Files.createDirectory(folder, PosixFilePermissions.asFileAttribute(OWNER_ONLY));
            }
        } catch (FileAlreadyExistsException exists) {
            return;
        }
        try {
            if (!WINDOWS) {
                // The mode asked for at creation passes through the umask and default ACLs.
                Files.setPosixFilePermissions(folder, OWNER_ONLY);
                return;
            }
            AclFileAttributeView acl = Files.getFileAttributeView(folder,
                    AclFileAttributeView.class);
            acl.setAcl(Collections.singletonList(AclEntry.newBuilder()
                    .setType(AclEntryType.ALLOW).setPrincipal(acl.getOwner())
                    .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                    .setFlags(AclEntryFlag.FILE_INHERIT, AclEntryFlag.DIRECTORY_INHERIT).build()));
            // Java cannot mark an access list protected; unprotected, it would take in the
            // entries of a change to the folder above that is passed down to what lies in it.
            String system = System.getenv().getOrDefault("SystemRoot", "C:\\Windows");
            Process icacls = new ProcessBuilder(system + "\\System32\\icacls.exe",
                    folder.toString(), "/inheritance:r", "/q").redirectErrorStream(true)
                    .redirectOutput(ProcessBuilder.Redirect.to(new File("NUL"))).start();
            if (!icacls.waitFor(60, TimeUnit.SECONDS) || icacls.exitValue() != 0) {
                icacls.destroyForcibly();
                throw new IOException("icacls could not protect its access list");
            }
        } catch (IOException | RuntimeException | InterruptedException e) {
            Files.deleteIfExists(folder);
            throw e instanceof IOException ? (IOException) e : new IOException(e);
        }
    }

    /**
     * Throws unless {@code folder} and the one it lies in are real folders of the user's that no
     * one else may change, and (elsewhere than on Windows) every folder above them is the user's
     * or root's and no one else may write to it, but a sticky one that holds a folder of the
     * user's on the way.
     */
    private static void check(Path folder) throws IOException {
        Object self = null;
        Object below = null;
        for (Path on = folder; on != null; on = on.getParent()) {
            boolean ours = on.equals(folder) || on.equals(folder.getParent());
            if (WINDOWS && !ours) {
                return;
            }
            String which = ours ? on + ": " : on + ", a folder above it: ";
            if (!Files.isDirectory(on, LinkOption.NOFOLLOW_LINKS)) {
                throw new IOException(which + "not a folder (or a symbolic link)");
            }
            if (self == null) {
                // The user, as the owner of a file just made in the folder that is to be theirs.
                Path probe = Files.createTempFile(on, ".owner", ".tmp");
                try {
                    self = owner(probe);
                } finally {
                    Files.deleteIfExists(probe);
                }
            }
            Object owner = owner(on);
            if (!owner.equals(self) && (ours || WINDOWS || !owner.equals(0))) {
                throw new AccessDeniedException(on.toString(), null, which + "owned by "
                        + Files.getOwner(on, LinkOption.NOFOLLOW_LINKS).getName()
                        + (ours ? ", not by you" : ", neither you nor root"));
            }
            if (WINDOWS) {
                for (AclEntry entry : Files.getFileAttributeView(on, AclFileAttributeView.class,
                        LinkOption.NOFOLLOW_LINKS).getAcl()) {
                    // Java shows no generic rights (GENERIC_WRITE, GENERIC_ALL), which only an
                    // entry for what is made inside, or one that shows no right at all, may hold.
                    if (entry.type() == AclEntryType.ALLOW && !entry.principal().equals(self)
                            && (entry.permissions().isEmpty()
                                    || entry.flags().contains(AclEntryFlag.INHERIT_ONLY)
                                    || !Collections.disjoint(entry.permissions(), CHANGE))) {
                        throw new AccessDeniedException(on.toString(), null, which
                                + entry.principal().getName() + " may change it "
                                + entry.permissions());
                    }
                }
                continue;
            }
            int mode = (Integer) Files.getAttribute(on, "unix:mode", LinkOption.NOFOLLOW_LINKS);
            // In a sticky folder (/tmp) others may make folders, but not touch one of the user's.
            if ((mode & 022) != 0 && (ours || (mode & 01000) == 0 || !self.equals(below))) {
                throw new AccessDeniedException(on.toString(), null, which
                        + "others may write to it (mode " + Integer.toOctalString(mode & 07777)
                        + (ours ? ")" : ", and it is not a sticky one holding a folder of yours)"));
            }
            below = owner;
        }
    }

    /** Who owns path: a user principal on Windows, a uid elsewhere. */
    private static Object owner(Path path) throws IOException {
        return Files.getAttribute(path, WINDOWS ? "owner:owner" : "unix:uid",
                LinkOption.NOFOLLOW_LINKS);
    }

    /**
     * Makes {@code target} hold the resource whose SHA-256 is {@code sha256}: a file already there
     * with that content is kept; anything else is replaced by a complete copy, written under a
     * temporary name and renamed into place.
     */
    static void extract(String resource, Path target, String sha256) throws IOException {
        if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS) && sha256.equals(sha256(target))) {
            return;
        }
        Path temporary = Files.createTempFile(target.getParent(), "." + target.getFileName(), ".tmp");
        try {
            String copied;
            try (InputStream in = NativeLoader.class.getResourceAsStream("/" + resource);
                    OutputStream out = Files.newOutputStream(temporary)) {
                if (in == null) {
                    throw new IOException("this jar lacks " + resource);
                }
                copied = copy(in, out);
            }
            if (!sha256.equals(copied)) {
                throw new IOException(resource + " in this jar does not match its SHA-256 in "
                        + INDEX + ": the jar is damaged");
            }
            if (!WINDOWS) {
                // The host is started as a program; the library is mapped executable.
                Files.setPosixFilePermissions(temporary, OWNER_ONLY);
            }
            try {
                Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE,
                        StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // Windows will not replace a file in use; another JVM holding it means that JVM
                // verified the same content, so the copy there may stay if it is right now.
                if (!(Files.isRegularFile(target) && sha256.equals(sha256(target)))) {
                    throw e;
                }
            }
        } finally {
            Files.deleteIfExists(temporary);
        }
    }

    /** Reads "sha256  name" lines into name to hash, in order. */
    static Map<String, String> parseIndex(byte[] index) throws IOException {
        Map<String, String> files = new LinkedHashMap<>();
        for (String line : new String(index, StandardCharsets.UTF_8).split("\n")) {
            if (line.trim().isEmpty()) {
                continue;
            }
            String[] parts = line.trim().split(" [ *]", 2);
            if (parts.length != 2 || !parts[0].matches("[0-9a-f]{64}")
                    || !parts[1].matches("[A-Za-z0-9._-]+")) {
                throw new IOException("unreadable line in " + INDEX + ": " + line);
            }
            files.put(parts[1], parts[0]);
        }
        return files;
    }

    /** A resource of this jar, whole; throws when it is not there. */
    private static byte[] resource(String name) throws IOException {
        try (InputStream in = NativeLoader.class.getResourceAsStream("/" + name)) {
            if (in == null) {
                throw new NoSuchFileException(name, null, "not in this jar");
            }
            java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
            copy(in, bytes);
            return bytes.toByteArray();
        }
    }

    /** Copies in to out (none: to nowhere) and returns the SHA-256 of what passed, in hex. */
    private static String copy(InputStream in, OutputStream out) throws IOException {
        MessageDigest digest = newDigest();
        byte[] buffer = new byte[65536];
        for (int n; (n = in.read(buffer)) > 0; ) {
            digest.update(buffer, 0, n);
            if (out != null) {
                out.write(buffer, 0, n);
            }
        }
        return hex(digest.digest());
    }

    private static String sha256(Path file) throws IOException {
        try (InputStream in = Files.newInputStream(file)) {
            return copy(in, null);
        }
    }

    private static MessageDigest newDigest() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    private static String hex(byte[] bytes) {
        return String.format("%0" + 2 * bytes.length + "x", new java.math.BigInteger(1, bytes));
    }

    private static String reason(Exception e) {
        if (e instanceof AccessDeniedException && ((AccessDeniedException) e).getReason() != null) {
            return "refused, " + ((AccessDeniedException) e).getReason();
        }
        String message = e.getMessage();
        return e.getClass().getSimpleName() + (message != null ? ": " + message : "");
    }

    /** The running JVM's platform, as the jar's folders name them. */
    static final class Platform {
        /** The folder under {@link #RESOURCES}, or null for a platform the jar has nothing for. */
        final String folder;
        final String library;
        private final String name;

        Platform(String os, String arch, String dataModel) {
            String system = os.startsWith("Windows") ? "windows"
                    : os.startsWith("Linux") ? "linux" : null;
            String a = arch.toLowerCase(Locale.ROOT);
            String cpu = a.equals("amd64") || a.equals("x86_64") ? "x86_64"
                    : a.matches("i[3-6]86|x86") ? "x86" : null;
            // A 64-bit processor may run a 32-bit JVM; it is the JVM that loads the bridge.
            if ("x86_64".equals(cpu) && "32".equals(dataModel)) {
                cpu = "x86";
            }
            this.folder = system != null && cpu != null ? system + "-" + cpu : null;
            this.library = "windows".equals(system) ? "morlane.dll" : "libmorlane.so";
            this.name = (folder != null ? folder : "an unsupported platform") + " (os.name " + os
                    + ", os.arch " + arch + ", " + dataModel + "-bit JVM)";
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

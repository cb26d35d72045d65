package morlane;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.AclEntry;
import java.nio.file.attribute.AclEntryPermission;
import java.nio.file.attribute.AclEntryType;
import java.nio.file.attribute.AclFileAttributeView;
import java.nio.file.attribute.PosixFileAttributeView;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.EnumSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.Set;

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
 *       {@code os.arch} and the JVM's data model, is copied, together with the host program that
 *       must lie beside it, into a per-user cache folder named by the version and a hash of the
 *       files, and loaded from there. The folder is made readable and writable by the user alone;
 *       each file is written under a temporary name and renamed into place once complete, and a
 *       file found there from an earlier run is used only after its content matched its hash. A
 *       folder that someone else can write to is never used.
 * </ol>
 *
 * <p>The cache folder is {@code morlane} inside, in this order of preference: the folder named by
 * the system property {@code morlane.cache}; {@code %LOCALAPPDATA%} on Windows, {@code
 * $XDG_CACHE_HOME} or {@code ~/.cache} elsewhere; and {@code java.io.tmpdir} as the last resort
 * (there in a folder of the user's own, {@code morlane-<user>}).
 *
 * <p>When neither place gives a bridge the JVM can load, {@link #load()} throws {@link
 * UnsatisfiedLinkError} naming the platform it detected and every place it tried, each with the
 * operating system's reason; the same error is thrown again by every later call.
 */
public final class NativeLoader {
    /** The resource folder of the natives inside the jar. */
    static final String RESOURCES = "morlane/natives/";

    /** The list of one platform's files, with their SHA-256, as {@code sha256sum} writes it. */
    static final String INDEX = "SHA256SUMS";

    private static final Object LOCK = new Object();
    private static String loadedFrom;
    private static UnsatisfiedLinkError failure;

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
            if (index == null) {
                tried.add("this jar: no " + base + INDEX + " in it");
                return null;
            }
            files = parseIndex(index);
        } catch (IOException e) {
            tried.add("this jar: " + base + INDEX + ": " + reason(e));
            return null;
        }
        String library = platform.library;
        if (!files.containsKey(library)) {
            tried.add("this jar: " + base + " lists no " + library);
            return null;
        }
        String name = version() + "-" + hex(sha256(index)).substring(0, 16);
        for (Path cache : cacheFolders()) {
            Path folder = cache.resolve(name);
            try {
                Path usable = prepare(folder);
                for (Map.Entry<String, String> file : files.entrySet()) {
                    extract(base + file.getKey(), usable.resolve(file.getKey()), file.getValue());
                }
                Path path = usable.resolve(library);
                try {
                    System.load(path.toString());
                    return path.toString();
                } catch (UnsatisfiedLinkError e) {
                    tried.add(path + " (from this jar): " + e.getMessage());
                    // A folder that took the files but cannot load them (noexec) gives way to the next.
                }
            } catch (IOException | SecurityException e) {
                tried.add(folder + " (cache for this jar's " + base + "): " + reason(e));
            }
        }
        return null;
    }

    /** The version in this jar's manifest, or "dev" for classes outside a released jar. */
    static String version() {
        Package own = NativeLoader.class.getPackage();
        String version = own != null ? own.getImplementationVersion() : null;
        if (version == null) {
            // A named module's packages carry no manifest attributes: read this jar's own.
            try {
                java.net.URL location =
                        NativeLoader.class.getProtectionDomain().getCodeSource().getLocation();
                try (java.util.jar.JarFile jar =
                                new java.util.jar.JarFile(new File(location.toURI()))) {
                    java.util.jar.Manifest manifest = jar.getManifest();
                    if (manifest != null) {
                        version = manifest.getMainAttributes().getValue("Implementation-Version");
                    }
                }
            } catch (IOException | RuntimeException | java.net.URISyntaxException e) {
                version = null;
            }
        }
        return version != null && version.matches("[A-Za-z0-9._-]+") ? version : "dev";
    }

    /**
     * The cache folders to try, best first: each is the parent of the versioned folder, and is
     * created (user-only) when missing.
     */
    static List<Path> cacheFolders() {
        List<Path> folders = new ArrayList<>();
        String property = System.getProperty("morlane.cache");
        if (property != null && !property.isEmpty()) {
            folders.add(Paths.get(property));
        }
        boolean windows = System.getProperty("os.name", "").startsWith("Windows");
        String home = System.getProperty("user.home");
        if (windows) {
            String local = System.getenv("LOCALAPPDATA");
            if (local != null && !local.isEmpty()) {
                folders.add(Paths.get(local, "morlane"));
            }
        } else {
            String xdg = System.getenv("XDG_CACHE_HOME");
            if (xdg != null && xdg.startsWith("/")) {
                folders.add(Paths.get(xdg, "morlane"));
            } else if (home != null && !home.isEmpty() && !"?".equals(home)) {
                folders.add(Paths.get(home, ".cache", "morlane"));
            }
        }
        String tmp = System.getProperty("java.io.tmpdir");
        if (tmp != null && !tmp.isEmpty()) {
            String user = System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
            folders.add(Paths.get(tmp, "morlane-" + user));
        }
        return folders;
    }

    /**
     * Makes {@code folder} (and its parent) exist with only the user able to write them, and
     * returns it; throws when either exists but someone else owns it or can write to it.
     */
    static Path prepare(Path folder) throws IOException {
        Path parent = folder.toAbsolutePath().getParent();
        Path above = parent.getParent();
        if (above != null) {
            Files.createDirectories(above);
            // Whoever may write to any folder on the way may swap ours for one of theirs; a
            // sticky bit, as on /tmp, prevents that.
            for (Path on = above; on != null; on = on.getParent()) {
                Integer mode = unixMode(on);
                if (mode != null && (mode & 0022) != 0 && (mode & 01000) == 0) {
                    throw new AccessDeniedException(above.toString(), null,
                            "others may write to the folder it lies in, " + on);
                }
            }
        }
        ownFolder(parent);
        ownFolder(folder);
        return folder;
    }

    private static void ownFolder(Path folder) throws IOException {
        boolean posix = Files.getFileAttributeView(folder.getParent(), PosixFileAttributeView.class)
                != null;
        try {
            if (posix) {
                Files.createDirectory(folder, PosixFilePermissions.asFileAttribute(
                        EnumSet.of(PosixFilePermission.OWNER_READ, PosixFilePermission.OWNER_WRITE,
                                PosixFilePermission.OWNER_EXECUTE)));
            } else {
                Files.createDirectory(folder);
                restrictAcl(folder);
            }
        } catch (FileAlreadyExistsException exists) {
            // Checked below like one we made: it may be a link, or someone else's.
        }
        checkPrivate(folder);
    }

    /**
     * Throws unless {@code folder} is a real folder (not a link), owned by the user running this
     * JVM, that no one else may write to.
     */
    static void checkPrivate(Path folder) throws IOException {
        if (!Files.isDirectory(folder, LinkOption.NOFOLLOW_LINKS)) {
            throw new IOException("not a folder (or a symbolic link)");
        }
        UserPrincipal owner = Files.getOwner(folder, LinkOption.NOFOLLOW_LINKS);
        UserPrincipal self = currentUser(folder);
        if (!owner.equals(self)) {
            throw new AccessDeniedException(folder.toString(), null,
                    "owned by " + owner.getName() + ", not by " + self.getName());
        }
        PosixFileAttributeView posix = Files.getFileAttributeView(folder,
                PosixFileAttributeView.class, LinkOption.NOFOLLOW_LINKS);
        if (posix != null) {
            Set<PosixFilePermission> permissions = posix.readAttributes().permissions();
            if (permissions.contains(PosixFilePermission.GROUP_WRITE)
                    || permissions.contains(PosixFilePermission.OTHERS_WRITE)) {
                throw new AccessDeniedException(folder.toString(), null,
                        "others may write to it (" + PosixFilePermissions.toString(permissions)
                                + ")");
            }
            return;
        }
        AclFileAttributeView acl = Files.getFileAttributeView(folder, AclFileAttributeView.class,
                LinkOption.NOFOLLOW_LINKS);
        if (acl != null) {
            for (AclEntry entry : acl.getAcl()) {
                if (entry.type() == AclEntryType.ALLOW && !entry.principal().equals(self)
                        && (entry.permissions().contains(AclEntryPermission.WRITE_DATA)
                                || entry.permissions().contains(AclEntryPermission.APPEND_DATA))) {
                    throw new AccessDeniedException(folder.toString(), null,
                            entry.principal().getName() + " may write to it");
                }
            }
        }
    }

    /** The POSIX mode bits with the sticky bit, where the file system has them. */
    private static Integer unixMode(Path path) {
        try {
            Object mode = Files.getAttribute(path, "unix:mode");
            return mode instanceof Integer ? (Integer) mode : null;
        } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
            return null;
        }
    }

    /** Windows: the folder's access list becomes the owner alone, nothing inherited. */
    private static void restrictAcl(Path folder) throws IOException {
        AclFileAttributeView acl = Files.getFileAttributeView(folder, AclFileAttributeView.class);
        if (acl == null) {
            return;
        }
        AclEntry owner = AclEntry.newBuilder().setType(AclEntryType.ALLOW)
                .setPrincipal(acl.getOwner())
                .setPermissions(EnumSet.allOf(AclEntryPermission.class))
                .setFlags(EnumSet.of(java.nio.file.attribute.AclEntryFlag.FILE_INHERIT,
                        java.nio.file.attribute.AclEntryFlag.DIRECTORY_INHERIT))
                .build();
        acl.setAcl(Collections.singletonList(owner));
    }

    /** The user this JVM runs as: the owner of a file it has just created. */
    private static UserPrincipal currentUser(Path near) throws IOException {
        Path probe = Files.createTempFile(near, ".owner", ".tmp");
        try {
            return Files.getOwner(probe);
        } finally {
            Files.deleteIfExists(probe);
        }
    }

    /**
     * Makes {@code target} hold the resource whose SHA-256 is {@code sha256}: a file already there
     * with that content is kept; anything else is replaced by a complete copy, written under a
     * temporary name and renamed into place.
     */
    static void extract(String resource, Path target, String sha256) throws IOException {
        if (Files.isRegularFile(target, LinkOption.NOFOLLOW_LINKS)
                && sha256.equals(hex(sha256(target)))) {
            return;
        }
        Path temporary = Files.createTempFile(target.getParent(), "." + target.getFileName(), ".tmp");
        try {
            MessageDigest digest = newDigest();
            try (InputStream in = NativeLoader.class.getResourceAsStream("/" + resource);
                    OutputStream out = Files.newOutputStream(temporary)) {
                if (in == null) {
                    throw new IOException("this jar lacks " + resource);
                }
                byte[] buffer = new byte[65536];
                for (int n; (n = in.read(buffer)) > 0; ) {
                    digest.update(buffer, 0, n);
                    out.write(buffer, 0, n);
                }
            }
            if (!sha256.equals(hex(digest.digest()))) {
                throw new IOException(resource + " in this jar does not match its SHA-256 in "
                        + INDEX + ": the jar is damaged");
            }
            PosixFileAttributeView posix = Files.getFileAttributeView(temporary,
                    PosixFileAttributeView.class);
            if (posix != null) {
                // The host is started as a program; the library is mapped executable.
                posix.setPermissions(EnumSet.of(PosixFilePermission.OWNER_READ,
                        PosixFilePermission.OWNER_WRITE, PosixFilePermission.OWNER_EXECUTE));
            }
            try {
                Files.move(temporary, target, StandardCopyOption.ATOMIC_MOVE,
                        StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // Windows will not replace a file in use; another JVM holding it means that JVM
                // verified the same content, so the copy there may stay if it is right now.
                if (!(Files.isRegularFile(target) && sha256.equals(hex(sha256(target))))) {
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

    private static byte[] resource(String name) throws IOException {
        try (InputStream in = NativeLoader.class.getResourceAsStream("/" + name)) {
            if (in == null) {
                return null;
            }
            java.io.ByteArrayOutputStream bytes = new java.io.ByteArrayOutputStream();
            byte[] buffer = new byte[4096];
            for (int n; (n = in.read(buffer)) > 0; ) {
                bytes.write(buffer, 0, n);
            }
            return bytes.toByteArray();
        }
    }

    private static MessageDigest newDigest() {
        try {
            return MessageDigest.getInstance("SHA-256");
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every JVM has SHA-256", e);
        }
    }

    private static byte[] sha256(byte[] bytes) {
        return newDigest().digest(bytes);
    }

    private static byte[] sha256(Path file) throws IOException {
        MessageDigest digest = newDigest();
        try (InputStream in = Files.newInputStream(file)) {
            byte[] buffer = new byte[65536];
            for (int n; (n = in.read(buffer)) > 0; ) {
                digest.update(buffer, 0, n);
            }
        }
        return digest.digest();
    }

    private static String hex(byte[] bytes) {
        StringBuilder text = new StringBuilder(bytes.length * 2);
        for (byte b : bytes) {
            text.append(Character.forDigit((b >> 4) & 15, 16)).append(Character.forDigit(b & 15, 16));
        }
        return text.toString();
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
        final String os;
        final String arch;
        final String dataModel;
        /** The folder under {@link #RESOURCES}, or null for a platform the jar has nothing for. */
        final String folder;
        final String library;

        Platform(String os, String arch, String dataModel) {
            this.os = os;
            this.arch = arch;
            this.dataModel = dataModel;
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
        }

        static Platform current() {
            return new Platform(System.getProperty("os.name", "?"),
                    System.getProperty("os.arch", "?"),
                    System.getProperty("sun.arch.data.model", "?"));
        }

        @Override
        public String toString() {
            return (folder != null ? folder : "an unsupported platform") + " (os.name " + os
                    + ", os.arch " + arch + ", " + dataModel + "-bit JVM)";
        }
    }
}

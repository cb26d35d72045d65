/**
 * The Java face of the morlane bridge: {@link lathwork.Brenmoor}, whose static native methods
 * drive the PLC link library and the Corvane data-access library.
 *
 * <p>The first use of {@code Brenmoor} loads the bridge library through {@link
 * morlane.NativeLoader}: from {@code java.library.path} when it is there, otherwise from the jar
 * itself. Failures of the outside libraries are reported as lines on native standard output; the
 * package {@code morlane} makes them visible in Java.
 */
package lathwork;

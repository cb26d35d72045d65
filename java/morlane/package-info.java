/**
 * An opt-in companion to {@link lathwork.Brenmoor} that makes failures visible in Java.
 *
 * <p>{@link morlane.CallRecord} tells a thread which diagnostic lines its most recent
 * {@code Brenmoor} call wrote, and how each outside library is loaded. {@link morlane.PlcLink} and
 * {@link morlane.DataAccess} are small {@link java.lang.AutoCloseable} objects over
 * {@code Brenmoor} that throw {@link morlane.BridgeException} when a call fails. Programs written
 * against {@code Brenmoor} alone keep working unchanged: the facade calls it underneath, and every
 * line still reaches standard output.
 */
package morlane;

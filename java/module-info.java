/**
 * The morlane bridge: {@link lathwork.Brenmoor}, the Java face of the native bridge, and the
 * opt-in {@code morlane} package (the call record, the facade and the loader of the bridge).
 */
module morlane {
    exports lathwork;
    exports morlane;
}

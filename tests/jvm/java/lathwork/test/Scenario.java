package lathwork.test;

/**
 * What one child JVM does: drives the bridge and writes what it saw to the report. Implementations
 * are nested classes with a no-argument constructor, named to the child by their class.
 */
interface Scenario {
    void run(Report report) throws Exception;
}

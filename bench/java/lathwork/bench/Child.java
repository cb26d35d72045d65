package lathwork.bench;

import java.util.concurrent.CountDownLatch;

/**
 * One fork: one contender, one operation. Prepares and checks the workload, warms up, then runs
 * the measured iterations, and prints one line per iteration for the harness:
 *
 * <pre>
 * vm &lt;runtime version&gt;
 * warm &lt;ns per op&gt;      (one per warm-up iteration)
 * iter &lt;ns per op&gt;      (one per measured iteration)
 * sink &lt;checksum&gt;
 * </pre>
 *
 * Warm-up runs at least the given number of iterations and goes on, up to a limit, until the last
 * three agree within 25 %: a contender whose calls are slow while interpreted (FFM, JNA) reaches
 * the JIT's thresholds later, and a fixed warm-up would time its interpreter.
 *
 * An iteration runs batches of calls until its time is up; a batch is sized from the previous
 * iteration to last about a millisecond, so reading the clock costs nothing measurable. For the
 * threaded operations every thread runs the same iteration time on its own link, and the figure is
 * the aggregate time per operation: 1 / (sum over threads of operations per nanosecond).
 */
public final class Child {
    private static final long BATCH_NANOS = 1_000_000;

    /** Every checksum ends here, so no result can be proven unused. */
    private static volatile long sink;

    private Child() {}

    public static void main(String[] args) throws Exception {
        if (args.length != 6) {
            System.err.println("usage: Child <contender class> <operation> <least warm-up"
                    + " iterations> <most warm-up iterations> <measured iterations> <iteration ms>");
            System.exit(2);
        }
        Operation op = Operation.valueOf(args[1]);
        int leastWarmups = Integer.parseInt(args[2]);
        int mostWarmups = Math.max(leastWarmups, Integer.parseInt(args[3]));
        int iterations = Integer.parseInt(args[4]);
        long iterationNanos = Long.parseLong(args[5]) * 1_000_000L;

        if (!SimControl.quiet()) {
            throw new IllegalStateException("cannot switch the simulation's journal off");
        }
        Contender c = (Contender) Class.forName("lathwork.bench." + args[0])
                .getDeclaredConstructor().newInstance();
        c.bind();
        Workload.prepare(c, op.threads);
        if (SimControl.journalCount() != 0) {
            throw new IllegalStateException("the simulation journaled calls; figures would be off");
        }

        System.out.println("vm " + System.getProperty("java.runtime.version"));
        Worker[] workers = new Worker[op.threads];
        for (int t = 0; t < workers.length; t++) {
            workers[t] = new Worker(c, op, t);
        }
        double[] warm = new double[mostWarmups];
        for (int i = 0; i < mostWarmups; i++) {
            warm[i] = iterate(workers, iterationNanos);
            System.out.println("warm " + warm[i]);
            if (i + 1 >= leastWarmups && settled(warm, i)) {
                break;
            }
        }
        for (int i = 0; i < iterations; i++) {
            System.out.println("iter " + iterate(workers, iterationNanos));
        }
        long checksum = 0;
        for (Worker w : workers) {
            checksum += w.checksum;
        }
        sink += checksum;
        System.out.println("sink " + sink);
        System.out.flush();
    }

    /** Whether the three warm-up iterations up to {@code last} agree within 25 %. */
    private static boolean settled(double[] warm, int last) {
        if (last < 2) {
            return false;
        }
        double lo = Math.min(warm[last], Math.min(warm[last - 1], warm[last - 2]));
        double hi = Math.max(warm[last], Math.max(warm[last - 1], warm[last - 2]));
        return hi <= 1.25 * lo;
    }

    private static double iterate(Worker[] workers, long iterationNanos) throws InterruptedException {
        if (workers.length == 1) {
            workers[0].iterate(iterationNanos);
            return workers[0].elapsed / (double) workers[0].ops;
        }
        CountDownLatch go = new CountDownLatch(1);
        Thread[] threads = new Thread[workers.length];
        for (int t = 0; t < workers.length; t++) {
            Worker w = workers[t];
            threads[t] = new Thread(() -> {
                try {
                    go.await();
                } catch (InterruptedException e) {
                    Thread.currentThread().interrupt();
                    return;
                }
                w.iterate(iterationNanos);
            });
            threads[t].start();
        }
        go.countDown();
        double opsPerNano = 0;
        for (int t = 0; t < workers.length; t++) {
            threads[t].join();
            opsPerNano += workers[t].ops / (double) workers[t].elapsed;
        }
        return 1.0 / opsPerNano;
    }

    /** The calls of one thread; with several threads each works its own link. */
    private static final class Worker {
        final Contender c;
        final Operation op;
        final int link;
        final int[] block;
        long batch = 1;
        long ops;
        long elapsed;
        long checksum;

        Worker(Contender c, Operation op, int link) {
            this.c = c;
            this.op = op;
            this.link = link;
            this.block = op.block();
        }

        void iterate(long iterationNanos) {
            long done = 0;
            long sum = 0;
            long start = System.nanoTime();
            long now;
            do {
                sum += op.run(c, batch, link, block);
                done += batch;
                now = System.nanoTime();
            } while (now - start < iterationNanos);
            ops = done;
            elapsed = now - start;
            checksum += sum;
            batch = Math.max(1, done * BATCH_NANOS / elapsed);
        }
    }
}

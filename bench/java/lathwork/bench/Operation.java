package lathwork.bench;

/** The measured operations; each figure of the table is one operation on one contender. */
enum Operation {
    REG_WRITE_1("regWrite single", "write 1", 1),
    REG_READ_1("regRead new array, 1 word", "read 1", 1),
    REG_READ_16("regRead new array, 16 words", "read 16", 1),
    REG_READ_256("regRead new array, 256 words", "read 256", 1),
    REG_READ_4096("regRead new array, 4096 words", "read 4096", 1),
    REG_READ_INTO_16("regRead passed array, 16 words", "read into 16", 1),
    REG_WRITE_256("regWrite block, 256 words", "write 256", 1),
    CV_POKE("cvPoke", "poke", 1),
    CV_REQUEST_16("cvRequest, 16-byte reply", "request 16 B", 1),
    CV_REQUEST_4095("cvRequest, 4095-byte reply", "request 4095 B", 1),
    THREADS_1("regRead 16 words, 1 thread (aggregate)", "read 16, 1 thr", 1),
    THREADS_2("regRead 16 words, 2 threads (aggregate)", "read 16, 2 thr", 2);

    final String label;
    final String shortLabel;
    final int threads;

    Operation(String label, String shortLabel, int threads) {
        this.label = label;
        this.shortLabel = shortLabel;
        this.threads = threads;
    }

    boolean threaded() {
        return this == THREADS_1 || this == THREADS_2;
    }

    /** Runs {@code n} operations on {@code link}; returns a checksum of their results. */
    long run(Contender c, long n, int link, int[] block) {
        switch (this) {
            case REG_WRITE_1:
                return c.loopRegWrite(n, link);
            case REG_READ_1:
                return c.loopRegReadNew(n, link, 1);
            case REG_READ_16:
            case THREADS_1:
            case THREADS_2:
                return c.loopRegReadNew(n, link, 16);
            case REG_READ_256:
                return c.loopRegReadNew(n, link, 256);
            case REG_READ_4096:
                return c.loopRegReadNew(n, link, 4096);
            case REG_READ_INTO_16:
                return c.loopRegReadInto(n, link, block);
            case REG_WRITE_256:
                return c.loopRegWriteBlock(n, link, block);
            case CV_POKE:
                return c.loopCvPoke(n);
            case CV_REQUEST_16:
                return c.loopCvRequest(n, Workload.ITEM_16);
            case CV_REQUEST_4095:
                return c.loopCvRequest(n, Workload.ITEM_4095);
            default:
                throw new AssertionError(this);
        }
    }

    /** The array a block operation works on, made once per thread and not per call. */
    int[] block() {
        switch (this) {
            case REG_READ_INTO_16:
                return new int[16];
            case REG_WRITE_256:
                return Workload.patternBlock(256);
            default:
                return null;
        }
    }
}

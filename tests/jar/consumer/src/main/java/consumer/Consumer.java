package consumer;

import lathwork.Brenmoor;
import morlane.CallRecord;
import morlane.NativeLoader;

/**
 * A program as a shop would write it against the released jar alone: it writes two registers,
 * reads them back and says where the bridge came from and how the library runs. Exits 1 when
 * the words read are not the words written or the library could not be loaded.
 */
public final class Consumer {
    private Consumer() {}

    public static void main(String[] args) {
        Brenmoor.start();
        int mode = CallRecord.linkMode();
        Brenmoor.open(0, 1, 0, 1000, 3);
        Brenmoor.regWrite(0, 0, 10, new int[] {7, 65535}, 2);
        int[] words = Brenmoor.regRead(0, 0, 10, 2);
        Brenmoor.close(0);
        Brenmoor.finish();
        String how = mode == CallRecord.IN_PROCESS ? "in process"
                : mode == CallRecord.HOSTED ? "hosted" : "not loaded";
        System.out.println("consumer: link library " + how + ", read " + words[0] + " "
                + words[1] + ", bridge from " + NativeLoader.loadedFrom());
        System.exit(words[0] == 7 && words[1] == 65535 && mode != CallRecord.NOT_LOADED ? 0 : 1);
    }
}

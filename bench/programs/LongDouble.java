// Long and double arithmetic in a loop. The counter is declared first: iinc reaches only
// the first four local slots on this VM.
public class LongDouble {
    static native void SendLong(long value);

    static void main() {
        int i = 0;
        long acc = 1;
        double x = 0.5;
        for (; i < ITERATIONS; i++) {
            acc = acc * 6364136223846793005L + 1442695040888963407L;
            x = x * 0.999 + (acc >>> 40) * 1.0e-9;
        }
        SendLong(acc);
        SendLong((long) (x * 1.0e6));
    }
}

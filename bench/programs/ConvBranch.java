// Conversions and branches mixed.
public class ConvBranch {
    static native void SendInt(int value);

    static void main() {
        int count = 0;
        float f = 0.0f;
        for (int i = 0; i < ITERATIONS; i++) {
            f = f + 0.25f;
            long l = (long) f + i;
            if ((l & 1) == 0) count += (int) (l >> 1);
            else if (f > 1000.0f) f = 0.0f;
            else count -= (int) (double) i;
        }
        SendInt(count);
    }
}

// Long arithmetic; each result is shown as its low and its high word.
public class LongMath {
    static long pick(int i) {
        if (i == 0) return 9223372036854775807L;
        if (i == 1) return -9223372036854775808L;
        if (i == 2) return -7L;
        if (i == 3) return 7L;
        if (i == 4) return 4294967296L;
        if (i == 5) return -1L;
        return 65L;
    }

    static void show(long v) {
        Drive.SendLong(v);
        Drive.SendInt((int) (v >>> 32));
    }

    static void main() {
        for (int i = 0; i < 7; i++) {
            for (int j = 0; j < 7; j++) {
                long a = pick(i);
                long b = pick(j);
                show(a + b);
                show(a - b);
                show(a * b);
                show(a / b);
                show(a % b);
                show(a & b);
                show(a | b);
                show(a ^ b);
                show(a << (int) b);
                show(a >> (int) b);
                show(a >>> (int) b);
                show(-a);
                Drive.SendInt(a < b ? -1 : (a == b ? 0 : 1));
                Drive.SendInt((int) a);
                show((long) (int) b);
            }
        }
    }
}

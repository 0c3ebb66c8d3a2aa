// Float and double arithmetic and conversions inside the ranges where Java and the device
// agree; results are shown truncated and scaled to integers (floating-point parameters
// cannot be passed on this VM).
public class FloatMath {
    static float fpick(int i) {
        if (i == 0) return 0.1f;
        if (i == 1) return -2.5f;
        if (i == 2) return 3.9f;
        if (i == 3) return -3.9f;
        if (i == 4) return 1000.5f;
        return 7.0f;
    }

    static double dpick(int i) {
        if (i == 0) return 0.1;
        if (i == 1) return -2.5;
        if (i == 2) return 21474.9;
        if (i == 3) return -1.0e-3;
        if (i == 4) return 12.345;
        return 3.0;
    }

    static void emit(int truncated, long scaled) {
        Drive.SendInt(truncated);
        Drive.SendLong(scaled);
        Drive.SendInt((int) (scaled >>> 32));
    }

    static void main() {
        for (int i = 0; i < 6; i++) {
            for (int j = 0; j < 6; j++) {
                float a = fpick(i);
                float b = fpick(j);
                emit((int) (a + b), (long) ((a + b) * 1000.0f));
                emit((int) (a - b), (long) ((a - b) * 1000.0f));
                emit((int) (a * b), (long) ((a * b) * 1000.0f));
                emit((int) (a / b), (long) ((a / b) * 1000.0f));
                emit((int) -a, (long) (-a * 1000.0f));
                Drive.SendInt(a < b ? 1 : 0);
                Drive.SendInt(a > b ? 1 : 0);
                Drive.SendInt(a <= b ? 1 : 0);
                double c = dpick(i);
                double d = dpick(j);
                emit((int) (c + d), (long) ((c + d) * 1000.0));
                emit((int) (c * d), (long) ((c * d) * 1000.0));
                emit((int) (c / d), (long) ((c / d) * 1000.0));
                emit((int) -c, (long) (-c * 1000.0));
                emit((int) (double) a, (long) ((double) a * 1.0e9));
                emit((int) (float) c, (long) (float) c);
                Drive.SendInt(c >= d ? 1 : 0);
                Drive.SendInt(c == d ? 1 : 0);
            }
            Drive.SendInt((int) (2147483647.9 - i));
            long big = 9007199254740993L + i;
            Drive.SendLong((long) (double) big);
            Drive.SendLong((long) (float) big);
            Drive.SendInt((int) (float) (16777217 + i));
            Drive.SendInt((int) (double) (16777217 + i));
        }
    }
}

// A second class that Control calls into.
public class Util {
    static int twice(int x) {
        return x + x;
    }

    static long scale(long value, int factor) {
        return value * factor + Drive.GetMillis();
    }
}

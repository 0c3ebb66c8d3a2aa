// A fault two calls below main: the mean of no samples divides by zero. With the linker's
// map the emulator names the line of every call that led there.
public class Average {
    static native void SendInt(int value);

    static int mean(int sum, int count) {
        return sum / count;
    }

    static void report(int sum, int count) {
        SendInt(mean(sum, count));
    }

    public static void main() {
        report(300, 3);
        report(0, 0);
    }
}

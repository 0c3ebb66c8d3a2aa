// The smallest useful controller program: light the LED, count, show the result.
public class Blink {
    static native void SetLED(int on);
    static native void SendInt(int value);
    static native int GetMillis();

    static int twice(int x) {
        return x * 2;
    }

    static void main() {
        SetLED(1);
        int sum = 0;
        for (int i = 0; i < 5; i++) sum += twice(i);
        SendInt(sum);
        SendInt(GetMillis());
    }
}

// Runs its loop for as long as -max-ms lets it: the clock, a sawtooth on the display, the
// drive started and stopped at each turn, and a single SetLED at the start.
public class Hour {
    static native int GetMillis();
    static native void SendInt(int value);
    static native void SetLED(int on);
    static native void StartDrive();
    static native void StopDrive();

    public static void main() {
        SetLED(1);
        while (true) {
            int now = GetMillis();
            SendInt(now % 1000);
            if (now % 60000 == 0) StartDrive();
            if (now % 60000 == 30000) StopDrive();
        }
    }
}

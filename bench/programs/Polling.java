// A positioning program's polling loop: start a long move, then ask for the status and the
// encoder position over and over, the clock moving every 64 rounds.
public class Polling {
    static native void StartDrive();
    static native void SetTargetPos(int position);
    static native int GetStatus();
    static native int GetEncoderPosition();
    static native int GetMillis();
    static native void SendInt(int value);

    public static void main() {
        StartDrive();
        SetTargetPos(2000000000);
        int sum = 0;
        for (int i = 0; i < ITERATIONS; i++) {
            sum += GetStatus() + GetEncoderPosition();
            if ((i & 63) == 0) GetMillis();
        }
        SendInt(sum);
    }
}

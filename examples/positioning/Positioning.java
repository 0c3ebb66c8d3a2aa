// A positioning program: homes the axis against the home switch, then moves through three
// positions, waiting each time for "target reached", and reports where the encoder stands.
public class Positioning {
    static final int HOME_SWITCH = 1;     // digital input bit 0
    static final int MOVING = 2;          // status bit 1
    static final int TARGET_REACHED = 4;  // status bit 2
    static final int PROFILE_POSITION = 1;
    static final int PROFILE_VELOCITY = 3;

    static native void StartDrive();
    static native void StopDrive();
    static native void SetMode(int mode);
    static native void SetMaxSpeed(int countsPerSecond);
    static native void SetAcceleration(int countsPerSecondSquared);
    static native void SetDirection(int direction);
    static native void SetTargetPos(int position);
    static native void SetPosition(int position);
    static native int GetStatus();
    static native int GetEncoderPosition();
    static native int GetDigitalInput();
    static native int GetMillis();
    static native void SendInt(int value);

    static void home() {
        SetMode(PROFILE_VELOCITY);
        SetMaxSpeed(2000);
        SetDirection(-1);
        StartDrive();
        while ((GetDigitalInput() & HOME_SWITCH) == 0) GetMillis();
        StopDrive();
        while ((GetStatus() & MOVING) != 0) GetMillis();
        SetPosition(0);
    }

    static void moveTo(int position) {
        SetTargetPos(position);
        while ((GetStatus() & TARGET_REACHED) == 0) GetMillis();
        SendInt(GetEncoderPosition());
    }

    public static void main() {
        SetAcceleration(10000);
        home();
        SetMode(PROFILE_POSITION);
        SetMaxSpeed(5000);
        StartDrive();
        moveTo(5000);
        moveTo(12000);
        moveTo(3000);
        StopDrive();
    }
}

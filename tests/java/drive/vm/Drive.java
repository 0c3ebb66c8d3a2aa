// The drive functions as the controller offers them: native methods bound by name.
public class Drive {
    static native void SendInt(int value);
    static native void SendLong(long value);
    static native void SetLED(int on);
    static native void SetDigitalOutput(int value);
    static native int GetMillis();
    static native int GetDigitalInput();
    static native int GetDigitalOutput();
    static native int GetAnalogInput(int channel);
    static native void StartDrive();
    static native void SetMaxSpeed(int speed);
    static native int GetStatus();
}

// Calls of every kind the axis model answers: settings read back, a long argument, a data
// set saved and loaded, a move polled until "target reached", the digital output read back.
public class Axis {
    static native void StartDrive();
    static native void SetMaxSpeed(int speed);
    static native void SetAcceleration(int acceleration);
    static native void SetTargetPos(long position); // the model reads the low 32 bits
    static native int GetMaxSpeed();
    static native int GetStatus();
    static native int GetEncoderPosition();
    static native int GetCurrent();
    static native void SaveDataSet(int slot);
    static native void LoadDataSet(int slot);
    static native void SetDigitalOutput(int value);
    static native int GetDigitalOutput();
    static native int GetAnalogInput(int channel);
    static native int GetMillis();
    static native void SendInt(int value);
    // Called where the run never goes: mirt_check -drive says what the model's value becomes.
    static native short GetDirection();
    static native Object GetMode();
    static native float GetDemandPosition();

    public static void main() {
        SetMaxSpeed(1000);
        SaveDataSet(1);
        SetMaxSpeed(300);
        LoadDataSet(1);
        SendInt(GetMaxSpeed());
        SetAcceleration(1000);
        StartDrive();
        SetTargetPos(4294967296L + 1500);
        while ((GetStatus() & 4) == 0) GetMillis();
        final int position = GetEncoderPosition();
        SendInt(position);
        SendInt(GetCurrent());
        SetDigitalOutput(6);
        SendInt(GetDigitalOutput());
        SendInt(GetAnalogInput(1));
        if (position < -2000000000) {
            SendInt(GetDirection());
            GetMode();
            GetDemandPosition();
        }
    }
}

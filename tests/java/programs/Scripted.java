// Shows what its inputs return over emulated time: a scripted analogue channel, a scripted
// drive value the emulator does not carry out, and the digital input; ends after 600 ms.
// With no GetMillis, Free shows the digital input as a clock-driven script changes it.
public class Scripted {
    static native int GetMillis();
    static native int GetAnalogInput(int channel);
    static native int GetEncoderPosition();
    static native int GetDigitalInput();
    static native void SendInt(int value);

    public static void main() {
        while (GetMillis() < 600) {
            SendInt(GetAnalogInput(2));
            SendInt(GetEncoderPosition());
            SendInt(GetDigitalInput());
        }
        SendInt(10 / (GetAnalogInput(2) + 9)); // -9 at the end: a fault after the loop
    }
}

class Free {
    public static void main() {
        while (true) Scripted.SendInt(Scripted.GetDigitalInput());
    }
}

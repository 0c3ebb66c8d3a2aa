// A control loop as it runs on the drive: read the inputs, compute, set the outputs, forever.
// The analogue input 1 is the set point; the regulator's demand goes to the display, the LED
// blinks every half second, and the digital input is mirrored to the digital output.
public class Controller {
    static native int GetMillis();
    static native int GetAnalogInput(int channel);
    static native int GetDigitalInput();
    static native void SetDigitalOutput(int value);
    static native void SetLED(int on);
    static native void SendInt(int value);

    public static void main() {
        int nextBlink = 0;
        int led = 0;
        while (true) {
            int now = GetMillis();
            int demand = Regulator.step(GetAnalogInput(1) * 1000, now);
            SendInt(demand);
            if (now >= nextBlink) {
                led = 1 - led;
                SetLED(led);
                nextBlink = now + 500;
            }
            SetDigitalOutput(GetDigitalInput());
        }
    }
}

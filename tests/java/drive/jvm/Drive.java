// Java bodies standing in for the drive functions, printing what the emulator prints.
public class Drive {
    static int millis = 0;

    static void SendInt(int value) { System.out.println("DRIVE: native_display_int: " + value); }
    static void SendLong(long value) { System.out.println("DRIVE: native_display_long: " + (int) value); }
    static void SetLED(int on) { System.out.println("DRIVE: native_set_led: " + on); }
    static void SetDigitalOutput(int value) { System.out.println("DRIVE: native_set_dig_output: " + value); }
    static int GetMillis() {
        millis = millis > Integer.MAX_VALUE - 100 ? 0 : millis + 100;
        return millis;
    }
    static int GetDigitalInput() { System.out.println("DRIVE: native_get_dig_input"); return 1; }
    static int GetDigitalOutput() { System.out.println("DRIVE: native_get_dig_output"); return 1; }
    static int GetAnalogInput(int channel) { System.out.println("DRIVE: native_get_analog_input"); return 1; }
    static void StartDrive() {}
    static void SetMaxSpeed(int speed) {}
    static int GetStatus() { return 0; }
}

// Where this VM computes differently from Java, as the device does.
public class Deviations {
    static void main() {
        int big = 300;
        byte b = (byte) big;
        Drive.SendInt(b);          // Java 44; the device keeps 300
        char c = (char) (big + 65536);
        Drive.SendInt(c);          // Java 300; the device keeps 65836
        float nan = 0.0f / 0.0f;
        Drive.SendInt(nan == nan ? 1 : 0); // Java 0; NaN compares as equal here
        Drive.SendInt((int) nan);          // Java 0; the device gives MIN_VALUE
        float huge = 1.0e10f;
        Drive.SendInt((int) huge);         // Java MAX_VALUE; the device gives MIN_VALUE
        double inf = 1.0 / 0.0;
        Drive.SendLong((long) inf);        // Java MAX_VALUE (low word -1); the device MIN_VALUE
        Drive.SendLong(4294967297L);       // shows 1
        Drive.StartDrive();                // no emulation: reported and skipped
        Drive.SetMaxSpeed(500);
        Drive.SendInt(Drive.GetStatus());  // no emulation: 0
    }
}

// Lights the LED and reports a small sum.
public class Blink {
    static int twice(int x) {
        return x * 2;
    }

    static void main() {
        Drive.SetLED(1);
        int sum = 0;
        for (int i = 0; i < 5; i++) sum += twice(i);
        Drive.SendInt(sum);
    }
}

// Loops, branches, recursion, long parameters and calls into another class.
public class Control {
    static int fib(int n) {
        if (n < 2) return n;
        return fib(n - 1) + fib(n - 2);
    }

    static long power(long base, int exponent) {
        long result = 1;
        while (exponent > 0) {
            result *= base;
            exponent--;
        }
        return result;
    }

    static int gcd(int a, int b) {
        while (b != 0) {
            int t = a % b;
            a = b;
            b = t;
        }
        return a;
    }

    static void main() {
        for (int n = 0; n < 15; n++) Drive.SendInt(fib(n));
        for (int e = 0; e < 70; e += 7) Drive.SendLong(power(3L, e));
        Drive.SendInt(gcd(1071, 462));
        int count = 0;
        for (int i = -20; i <= 20; i++) {
            if (i == 3) continue;
            if (i > 15) break;
            if (i >= -5 && i < 5 || i % 7 == 0) count += i;
            if (i != 0 && i <= -10) count -= 1;
        }
        Drive.SendInt(count);
        Drive.SendInt(Util.twice(21));
        Drive.SendLong(Util.scale(1234567890123L, 3));
        Drive.SendInt(Drive.GetMillis());
        Drive.SendInt(Drive.GetMillis());
        Drive.SendInt(Drive.GetAnalogInput(1) + Drive.GetDigitalInput() + Drive.GetDigitalOutput());
        Drive.SetLED(1);
        Drive.SetDigitalOutput(5);
    }
}

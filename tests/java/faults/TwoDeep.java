// A fault two calls below main: the emulator's stack trace must name each call's line.
public class TwoDeep {
    static int divide(int a, int b) {
        int q = a / b;
        return q;
    }

    static int twice(int x) {
        Drive.SendInt(x);
        return divide(x, x - 2) * 2;
    }

    static void main() {
        int v = 4;
        Drive.SendInt(twice(v));
        Drive.SendInt(twice(v - 2));
    }
}

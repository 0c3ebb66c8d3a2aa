// Many static calls to small helpers; every activation prints its trace lines.
public class CallHeavy {
    static native void SendInt(int value);

    static int step(int x) {
        return x * 3 + 1;
    }

    static int mix(int a, int b) {
        return step(a) ^ b;
    }

    static void main() {
        int h = 7;
        for (int i = 0; i < ITERATIONS; i++) h = mix(h, i);
        SendInt(h);
    }
}

// Integer loop in the four register locals; one result at the end.
public class IntLoop {
    static native void SendInt(int value);

    static void main() {
        int a = 0;
        int b = 1;
        int i = 0;
        int n = ITERATIONS;
        while (i < n) {
            a += b;
            b ^= a << 1;
            i++;
        }
        SendInt(a);
        SendInt(b);
    }
}

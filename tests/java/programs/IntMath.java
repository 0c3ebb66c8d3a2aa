// Integer arithmetic over edge values: wrap-around, truncating division, masked shifts.
public class IntMath {
    static int apply(int a, int b, int op) {
        if (op == 0) return a + b;
        if (op == 1) return a - b;
        if (op == 2) return a * b;
        if (op == 3) return a / b;
        if (op == 4) return a % b;
        if (op == 5) return a << b;
        if (op == 6) return a >> b;
        if (op == 7) return a >>> b;
        if (op == 8) return a & b;
        if (op == 9) return a | b;
        if (op == 10) return a ^ b;
        return -a;
    }

    static int pick(int i) {
        if (i == 0) return 2147483647;
        if (i == 1) return -2147483648;
        if (i == 2) return -7;
        if (i == 3) return 7;
        if (i == 4) return 65536;
        if (i == 5) return -1;
        if (i == 6) return 33;
        return 0x0f0f0f0f;
    }

    static void main() {
        for (int op = 0; op < 12; op++) {
            for (int i = 0; i < 8; i++) {
                for (int j = 0; j < 8; j++) {
                    Drive.SendInt(apply(pick(i), pick(j), op));
                }
            }
        }
        int x = 5;
        x += 1000;
        x -= 7000;
        Drive.SendInt(x);
        short s = (short) x;
        Drive.SendInt(s + 0); // within range, so narrowing changes nothing
    }
}

// Twenty-one local slots in one method: more than the VM's pool of twenty.
public class TooManyLocals {
    static void main() {
        long a = 1, b = 2, c = 3, d = 4, e = 5, f = 6, g = 7, h = 8, i = 9, j = 10;
        int k = 11;
        Drive.SendLong(a + b + c + d + e + f + g + h + i + j + k);
    }
}

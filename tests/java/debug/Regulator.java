// The helper the debugger stops in.
public class Regulator {
    static int step(int target, int measured) {
        int error = target - measured;
        int output = error * 2;
        if (output > 150) output = 150;
        return output;
    }
}

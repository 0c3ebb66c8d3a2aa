// A proportional regulator with a limited output: the part of the program worth testing on
// the PC before it drives a motor.
public class Regulator {
    static final int LIMIT = 250;

    static int step(int setpoint, int now) {
        int error = setpoint - now;
        int demand = error / 4;
        if (demand > LIMIT) demand = LIMIT;
        if (demand < -LIMIT) demand = -LIMIT;
        return demand;
    }
}

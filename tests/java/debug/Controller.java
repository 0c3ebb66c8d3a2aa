// A control loop to debug: a helper class to step into, locals in registers and in the pool.
public class Controller {
    static void main() {
        int setpoint = 100;
        long total = 0;
        for (int cycle = 0; cycle < 3; cycle++) {
            int out = Regulator.step(setpoint, cycle * 40);
            total += out;
            Drive.SendInt(out);
        }
        Drive.SendLong(total);
    }
}

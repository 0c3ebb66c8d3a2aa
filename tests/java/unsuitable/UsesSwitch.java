// A switch compiles to tableswitch or lookupswitch, which the VM does not execute.
public class UsesSwitch {
    static int pick(int mode) {
        switch (mode) {
        case 0: return 10;
        case 1: return 20;
        case 2: return 30;
        default: return 0;
        }
    }

    static void main() {
        Drive.SendInt(pick(1));
    }
}

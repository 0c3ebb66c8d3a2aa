// Everything at once: what the VM refuses, one of each kind in one main. The VM stops at the
// first; the check reports them all.
public class UsesEverything {
    static int calls;

    static Object make() { return new Object(); }

    static void main() {
        int[] values = new int[3];
        String name = "motor";
        Object lock = make();
        calls++;
        float share = Drive.GetMillis() % 7.5f;
        synchronized (lock) {
            if (lock == name) throw new IllegalStateException();
        }
        switch (values.length) {
        case 1: Drive.SendInt(1); break;
        case 2: Drive.SendInt(2); break;
        case 3: Drive.SendInt(name.length() + (int) share); break;
        default: Drive.SendInt(0);
        }
    }
}

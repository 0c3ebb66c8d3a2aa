// Everything at once: an array, a String, an object and a switch in one main. The VM stops
// at the first; the check reports all four.
public class UsesEverything {
    static void main() {
        int[] values = new int[3];
        String name = "motor";
        Object lock = new Object();
        switch (values.length) {
        case 1: Drive.SendInt(1); break;
        case 2: Drive.SendInt(2); break;
        case 3: Drive.SendInt(name.length() + lock.hashCode()); break;
        default: Drive.SendInt(0);
        }
    }
}

// Arrays are objects: the VM has no array instructions.
public class UsesArray {
    static void main() {
        int[] values = new int[3];
        values[1] = 5;
        Drive.SendInt(values[1]);
    }
}

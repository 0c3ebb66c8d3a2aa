// Calls a static method of an interface.
public class UsesInterface {
    static void main() {
        for (int i = -3; i <= 3; i++) Drive.SendInt(Helpers.square(i));
    }
}

// Strings are objects: a string constant cannot be loaded.
public class UsesString {
    static void main() {
        String text = "drive";
        Drive.SendInt(text.length());
    }
}

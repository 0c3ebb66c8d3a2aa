// Only int and long parameters can be passed.
public class FloatParam {
    static int scaled(float x) {
        return (int) (x * 10.0f);
    }

    static void main() {
        Drive.SendInt(scaled(1.5f));
    }
}

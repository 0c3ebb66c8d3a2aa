// A call into another class and back, with a long parameter on the way.
public class TwoClasses {
    static void main() {
        Drive.SendInt(Util.twice(21));
        Drive.SendLong(Util.scale(1000L, 3));
    }
}

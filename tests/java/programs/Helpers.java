// Static methods of an interface are called through InterfaceMethodref constants.
public interface Helpers {
    static int square(int x) {
        return x * x;
    }
}

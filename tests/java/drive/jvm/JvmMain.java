// Runs a program's parameterless main on the JVM.
public class JvmMain {
    public static void main(String[] args) throws Exception {
        java.lang.reflect.Method main = Class.forName(args[0]).getDeclaredMethod("main");
        main.setAccessible(true);
        main.invoke(null);
    }
}

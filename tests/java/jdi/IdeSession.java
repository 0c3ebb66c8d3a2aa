// Attaches to a VM as an IDE's "Remote JVM Debug" does, through JDI, and makes the calls IDEs
// make on attach and when stopped: the classes, threads and thread groups, a deferred
// breakpoint, steps over and out, an uncaught exception and its message, the frames and their
// variables. Prints a transcript; lines starting with "~" show what may differ between VMs.
// Arguments: port, the class to stop in, the line to stop at (0: run to the end).
import com.sun.jdi.*;
import com.sun.jdi.connect.AttachingConnector;
import com.sun.jdi.connect.Connector;
import com.sun.jdi.event.*;
import com.sun.jdi.request.*;
import java.util.*;
import java.util.function.Supplier;

public class IdeSession {
    static VirtualMachine vm;

    static void out(String s) { System.out.println(s); }

    static void note(String s) { System.out.println("~ " + s); }

    // A call the VM may refuse as a VM without the feature does; a lost connection is no refusal.
    static String tryCall(Supplier<Object> call) {
        try {
            return String.valueOf(call.get());
        } catch (VMDisconnectedException e) {
            throw e;
        } catch (RuntimeException e) {
            return "refused: " + e.getClass().getSimpleName();
        }
    }

    static String names(List<? extends Object> list, java.util.function.Function<Object, String> name) {
        List<String> all = new ArrayList<>();
        for (Object o : list) all.add(name.apply(o));
        return all.toString();
    }

    static boolean isProgram(ReferenceType t) {
        return !t.name().contains(".") && !t.name().equals("JvmMain") && !t.name().endsWith("]");
    }

    static String where(Location l) {
        return l.declaringType().name() + "." + l.method().name() + ":" + l.lineNumber();
    }

    public static void main(String[] args) throws Exception {
        AttachingConnector connector = null;
        for (AttachingConnector c : Bootstrap.virtualMachineManager().attachingConnectors())
            if (c.name().equals("com.sun.jdi.SocketAttach")) connector = c;
        Map<String, Connector.Argument> arguments = connector.defaultArguments();
        arguments.get("hostname").setValue("localhost");
        arguments.get("port").setValue(args[0]);
        arguments.get("timeout").setValue("20000");
        vm = connector.attach(arguments);
        String stopClass = args[1];
        int stopLine = Integer.parseInt(args[2]);
        onAttach();

        EventRequestManager requests = vm.eventRequestManager();
        ClassPrepareRequest prepare = requests.createClassPrepareRequest();
        prepare.addSourceNameFilter(stopClass + ".java"); // as an IDE finds a source's classes
        prepare.setSuspendPolicy(EventRequest.SUSPEND_ALL);
        prepare.enable();
        ExceptionRequest uncaught = requests.createExceptionRequest(null, false, true);
        uncaught.setSuspendPolicy(EventRequest.SUSPEND_ALL);
        uncaught.enable();
        out("VMDeath request: " + tryCall(() -> {
            requests.createVMDeathRequest().enable();
            return "set";
        }));
        out("already loaded: " + vm.classesByName(stopClass).size());
        note("method entry request " + tryCall(() -> {
            MethodEntryRequest entry = requests.createMethodEntryRequest();
            entry.addClassFilter(stopClass);
            entry.enable();
            requests.deleteEventRequest(entry);
            return "set";
        }));

        int[] steps = {StepRequest.STEP_OVER, StepRequest.STEP_OVER, StepRequest.STEP_OUT};
        int nextStep = 0;
        BreakpointRequest breakpoint = null;
        EventQueue queue = vm.eventQueue();
        boolean dead = false;
        for (;;) {
            EventSet set = queue.remove(30000);
            if (set == null) {
                out("no event within 30 s");
                System.exit(1);
            }
            for (Event e : set) {
                if (e instanceof VMStartEvent) {
                    out("VM started");
                } else if (e instanceof ClassPrepareEvent) {
                    ReferenceType t = ((ClassPrepareEvent) e).referenceType();
                    out("prepared " + t.name());
                    describeType(t);
                    if (stopLine > 0) {
                        breakpoint = requests.createBreakpointRequest(t.locationsOfLine(stopLine).get(0));
                        breakpoint.setSuspendPolicy(EventRequest.SUSPEND_ALL);
                        breakpoint.enable();
                    }
                } else if (e instanceof BreakpointEvent || e instanceof StepEvent) {
                    LocatableEvent l = (LocatableEvent) e;
                    out((e instanceof StepEvent ? "step to " : "breakpoint at ") + where(l.location()));
                    describeStop(l.thread());
                    if (e instanceof StepEvent) requests.deleteEventRequest(e.request());
                    if (nextStep < steps.length) {
                        StepRequest step = requests.createStepRequest(l.thread(), StepRequest.STEP_LINE,
                                                                      steps[nextStep++]);
                        step.addCountFilter(1);
                        step.setSuspendPolicy(EventRequest.SUSPEND_ALL);
                        step.enable();
                    } else if (breakpoint != null) {
                        requests.deleteEventRequest(breakpoint);
                        breakpoint = null;
                    }
                } else if (e instanceof ExceptionEvent) {
                    ExceptionEvent x = (ExceptionEvent) e;
                    ObjectReference exception = x.exception();
                    out("exception " + exception.referenceType().name() + " at " + where(x.location()) +
                        ", caught at " + x.catchLocation());
                    note("toString " + tryCall(() -> {
                        List<Method> toString = exception.referenceType().methodsByName("toString");
                        if (toString.isEmpty()) return "none";
                        try {
                            return exception.invokeMethod(x.thread(), toString.get(0), List.of(), 0);
                        } catch (Exception refused) {
                            return "refused: " + refused.getClass().getSimpleName();
                        }
                    }));
                    Field message = exception.referenceType().fieldByName("detailMessage");
                    Value text = message == null ? null : exception.getValue(message);
                    out("message is a " + (text == null ? "null" : text.type().name()));
                    note("message: " + (text instanceof StringReference ? ((StringReference) text).value() : text));
                    describeStop(x.thread());
                    requests.deleteEventRequest(uncaught); // the JVM's rethrow through reflection is not the program's
                } else if (e instanceof VMDeathEvent) {
                    if (!dead) out("VM death");
                    dead = true;
                } else if (e instanceof VMDisconnectEvent) {
                    out("disconnected");
                    return;
                }
            }
            set.resume();
        }
    }

    static void onAttach() throws IncompatibleThreadStateException {
        note("VM " + vm.name() + ", " + vm.version() + ", " + vm.description().lines().count() + " lines");
        note("can: watch modification " + vm.canWatchFieldModification() + ", access " +
             vm.canWatchFieldAccess() + ", synthetic " + vm.canGetSyntheticAttribute() + ", owned monitors " +
             vm.canGetOwnedMonitorInfo() + ", contended " + vm.canGetCurrentContendedMonitor() +
             ", monitor " + vm.canGetMonitorInfo() + ", redefine " + vm.canRedefineClasses() + ", add " +
             vm.canAddMethod() + ", unrestricted " + vm.canUnrestrictedlyRedefineClasses() + ", pop " +
             vm.canPopFrames() + ", instance filters " + vm.canUseInstanceFilters() + ", instances " + vm.canGetInstanceInfo() + ", monitor events " +
             vm.canRequestMonitorEvents() + ", monitor frames " + vm.canGetMonitorFrameInfo() +
             ", source name filters " + vm.canUseSourceNameFilters() + ", constant pool " +
             vm.canGetConstantPool() + ", early return " + vm.canForceEarlyReturn() + ", modify " +
             vm.canBeModified());
        out("can get bytecodes " + vm.canGetBytecodes() + ", request VM death " + vm.canRequestVMDeathEvent() +
            ", source debug extension " + vm.canGetSourceDebugExtension());
        if (vm instanceof PathSearchingVirtualMachine) {
            PathSearchingVirtualMachine p = (PathSearchingVirtualMachine) vm;
            note("class path " + tryCall(p::classPath) + ", base " + tryCall(p::baseDirectory));
        }
        ThreadReference main = null;
        for (ThreadReference t : vm.allThreads())
            if (t.name().equals("main")) main = t;
        out("thread main: " + (main != null));
        for (ThreadGroupReference g : vm.topLevelThreadGroups()) walk(g, main);
        out("main: status " + main.status() + ", suspended " + main.isSuspended() + ", suspend count " +
            main.suspendCount() + ", frames " + main.frameCount());
        note("thread group " + main.threadGroup().name() + ", at breakpoint " + main.isAtBreakpoint());
        List<String> program = new ArrayList<>();
        for (ReferenceType t : vm.allClasses())
            if (isProgram(t)) program.add(t.name());
        out("program classes before the start: " + program);
        note("classes " + vm.allClasses().size());
    }

    static void walk(ThreadGroupReference g, ThreadReference main) {
        note("group " + g.name() + ": threads " + names(g.threads(), t -> ((ThreadReference) t).name()) +
             ", groups " + names(g.threadGroups(), t -> ((ThreadGroupReference) t).name()) + ", parent " +
             g.parent());
        if (g.threads().contains(main)) out("main's group: " + g.name());
        for (ThreadGroupReference child : g.threadGroups()) walk(child, main);
    }

    static void describeType(ReferenceType t) {
        out(t.name() + ": signature " + t.signature() + ", generic " + t.genericSignature() + ", public " +
            t.isPublic() + ", source " + tryCall(() -> {
                try {
                    return t.sourceName();
                } catch (AbsentInformationException e) {
                    return "absent";
                }
            }));
        out("  fields " + t.fields() + ", all fields " + t.allFields() + ", prepared " + t.isPrepared());
        note("  modifiers " + t.modifiers() + ", initialized " + t.isInitialized());
        if (t instanceof ClassType) {
            ClassType c = (ClassType) t;
            out("  superclass " + c.superclass().name() + ", interfaces " + c.interfaces());
            note("  methods of " + c.superclass().name() + ": " + c.superclass().methods().size());
        }
        note("class loader " + t.classLoader() + ", strata " + tryCall(t::availableStrata) + ", debug extension " +
             tryCall(() -> {
                 try {
                     return t.sourceDebugExtension();
                 } catch (AbsentInformationException e) {
                     return "absent";
                 }
             }));
        for (Method m : t.methods()) {
            if (m.name().startsWith("<")) continue;
            out("  method " + m.name() + m.signature() + ", modifiers " + m.modifiers() + ", obsolete " +
                m.isObsolete() + ", lines " + lines(m));
            out("    arguments " + tryCall(() -> {
                try {
                    return names(m.arguments(), v -> ((LocalVariable) v).name());
                } catch (AbsentInformationException e) {
                    return "absent";
                }
            }) + ", variables " + tryCall(() -> {
                try {
                    return names(m.variables(), v -> ((LocalVariable) v).name() + ":" + ((LocalVariable) v).typeName());
                } catch (AbsentInformationException e) {
                    return "absent";
                }
            }));
            out("    bytecodes " + tryCall(() -> m.bytecodes().length) + " bytes");
        }
        out("  all lines " + tryCall(() -> {
            try {
                return new TreeSet<>(t.allLineLocations().stream().filter(l -> !l.method().isConstructor())
                                         .map(Location::lineNumber).toList());
            } catch (AbsentInformationException e) {
                return "absent";
            }
        }));
    }

    static String lines(Method m) {
        try {
            return new TreeSet<>(m.allLineLocations().stream().map(Location::lineNumber).toList()).toString();
        } catch (AbsentInformationException e) {
            return "absent";
        }
    }

    static void describeStop(ThreadReference thread) {
        try {
            out("  status " + thread.status() + ", suspend count " + thread.suspendCount() + ", at breakpoint " +
                thread.isAtBreakpoint());
            note("  owned monitors " + tryCall(() -> {
                try {
                    return thread.ownedMonitors().size();
                } catch (IncompatibleThreadStateException e) {
                    return "not suspended";
                }
            }));
            List<StackFrame> frames = thread.frames();
            for (int i = 0; i < frames.size(); ++i) {
                StackFrame f = thread.frame(i);
                if (!isProgram(f.location().declaringType())) break;
                StringBuilder values = new StringBuilder();
                try {
                    Map<LocalVariable, Value> all = f.getValues(f.visibleVariables());
                    for (LocalVariable v : f.visibleVariables())
                        values.append(" ").append(v.name()).append("=").append(all.get(v));
                } catch (AbsentInformationException e) {
                    values.append(" absent");
                }
                out("  [" + i + "] " + where(f.location()) + ", this " + f.thisObject() + ", arguments " +
                    f.getArgumentValues() + ", variables" + values);
            }
        } catch (IncompatibleThreadStateException e) {
            out("  not suspended");
        }
    }
}

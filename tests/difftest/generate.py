#!/usr/bin/env python3
"""Random programs in the part of QXL that C shares, written twice.

    generate.py SEED OUT_DIR

writes OUT_DIR/prog.q (QXL) and OUT_DIR/prog.c (C) for the seed.  Both
print the same lines (say() in QXL; a printf shim in C) and return the
same status, unless the compiler, the runner or the C compiler is wrong.

What the programs keep to, so that C gives every one a single meaning (the
C side is built with -fwrapv, so that signed arithmetic wraps as QXL's):

- every local is assigned before it is read;
- divisors are ((e) & 15) + 1, shift counts (e) & 31, indexes (e) & (N-1)
  with N a power of two, so nothing divides by zero or leaves an array;
- expressions have no side effects: assignments, increments and calls of
  functions that write memory stand only as statements, the latter only
  as `local = g(...)`; calls inside expressions go to pure functions, which
  write nothing but their own locals (QXL evaluates arguments last to
  first, C in any order);
- parameters are int or pointers (a char parameter keeps its whole word in
  QXL), no casts, no sizeof (the type sizes differ), and 2-byte values in
  memory are char (unsigned in both), never negative shorts: a 2-byte load
  through a pointer cannot tell short from char;
- loops run a bounded number of times, recursion is linear and shallow.
"""

import os
import random
import sys

TYPES_QXL = {"int": "int", "char": "char", "byte": "byte", "short": "short"}
TYPES_C = {"int": "int", "char": "unsigned short", "byte": "unsigned char",
           "short": "short"}

C_PRELUDE = """#include <stdio.h>
#define say(...) (printf(__VA_ARGS__), printf("\\n"))
"""


class Var:
    def __init__(self, name, kind, count=0, struct=None):
        self.name = name
        self.kind = kind      # int char byte short | array | struct | sarray | ptr | sptr
        self.count = count    # elements of an array
        self.struct = struct  # element struct of struct kinds
        self.elem = None      # element scalar type of arrays


class Struct:
    def __init__(self, name, members):
        self.name = name
        self.members = members  # list of (name, type, count)


class Func:
    def __init__(self, name, params, pure):
        self.name = name
        self.params = params  # list of (kind, Var)
        self.pure = pure


class Generator:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.lines = []
        self.indent = 0
        self.structs = []
        self.globals = []
        self.funcs = []
        self.uid = 0

    # ------------------------------------------------------------ helpers
    def name(self, prefix):
        self.uid += 1
        return "%s%d" % (prefix, self.uid)

    def emit(self, text):
        self.lines.append("  " * self.indent + text)

    def chance(self, p):
        return self.r.random() < p

    def literal(self):
        r = self.r.random()
        if r < 0.6:
            return str(self.r.randint(0, 20))
        if r < 0.8:
            return str(self.r.randint(-300, 300))
        if r < 0.9:
            return "0x%x" % self.r.randint(0, 0x7FFFFFFF)
        return str(self.r.choice([2147483647, 65535, 65536, 255, 256, 32767,
                                  -32768, 1000000007]))

    # ---------------------------------------------------------- structure
    def make_struct(self):
        name = self.name("S")
        members = []
        for _ in range(self.r.randint(1, 4)):
            t = self.r.choice(["int", "int", "char", "byte", "intarr"])
            if t == "intarr":
                members.append((self.name("m"), "int", 4))
            else:
                members.append((self.name("m"), t, 0))
        s = Struct(name, members)
        self.structs.append(s)
        return s

    def declare(self, v, typ):
        """Declaration text with a type placeholder for the two languages."""
        if v.kind in ("int", "char", "byte", "short"):
            return "@%s@ %s" % (v.kind, v.name)
        if v.kind == "array":
            return "@%s@ %s[%d]" % (v.elem, v.name, v.count)
        if v.kind == "struct":
            return "struct %s %s" % (v.struct.name, v.name)
        if v.kind == "sarray":
            return "struct %s %s[%d]" % (v.struct.name, v.name, v.count)
        if v.kind == "ptr":
            return "@%s@ *%s" % (v.elem, v.name)
        if v.kind == "sptr":
            return "struct %s *%s" % (v.struct.name, v.name)
        raise ValueError(typ)

    # -------------------------------------------------------- expressions
    def scalars(self, scope):
        return [v for v in scope if v.kind in ("int", "char", "byte", "short")]

    def index(self, count, scope, depth):
        return "(%s) & %d" % (self.expr(scope, depth + 1), count - 1)

    def readable(self, scope, depth):
        """An int-valued place to read; deep down only plain scalars."""
        if depth > 4:
            plain = self.scalars(scope)
            return self.r.choice(plain).name if plain else self.literal()
        if not scope:
            return self.literal()
        v = self.r.choice(scope)
        if v.kind in ("int", "char", "byte", "short"):
            return v.name
        if v.kind == "array":
            return "%s[%s]" % (v.name, self.index(v.count, scope, depth))
        if v.kind == "ptr":
            if self.chance(0.3):
                return "*%s" % v.name
            return "%s[%s]" % (v.name, self.index(v.count, scope, depth))
        m, t, c = self.r.choice(v.struct.members)
        if v.kind == "struct":
            base = "%s.%s" % (v.name, m)
        elif v.kind == "sptr":
            base = "%s->%s" % (v.name, m)
        else:
            base = "%s[%s].%s" % (v.name, self.index(v.count, scope, depth), m)
        if c:
            base += "[%s]" % self.index(c, scope, depth)
        return base

    def argument(self, scope):
        # A byte argument does not match an int parameter in QXL: "| 0"
        # makes every argument an int.
        return "(%s | 0)" % self.expr(scope, 1)

    def expr(self, scope, depth=0):
        if depth > 3 or self.chance(0.25):
            return self.literal() if self.chance(0.3) else self.readable(scope, depth)
        r = self.r.random()
        sub = lambda: self.expr(scope, depth + 1)
        if r < 0.35:
            op = self.r.choice(["+", "-", "*", "&", "|", "^", "+", "-"])
            return "(%s %s %s)" % (sub(), op, sub())
        if r < 0.45:
            op = self.r.choice(["/", "%"])
            return "(%s %s (((%s) & 15) + 1))" % (sub(), op, sub())
        if r < 0.52:
            op = self.r.choice(["<<", ">>"])
            if self.chance(0.5):
                return "(%s %s %d)" % (sub(), op, self.r.randint(0, 31))
            return "(%s %s ((%s) & 31))" % (sub(), op, sub())
        if r < 0.65:
            op = self.r.choice(["<", "<=", ">", ">=", "==", "!="])
            return "(%s %s %s)" % (sub(), op, sub())
        if r < 0.72:
            op = self.r.choice(["&&", "||"])
            return "(%s %s %s)" % (sub(), op, sub())
        if r < 0.78:
            return "(%s ? %s : %s)" % (sub(), sub(), sub())
        if r < 0.86:
            op = self.r.choice(["-", "~", "!"])
            return "(%s(%s))" % (op, sub())
        pure = [f for f in self.funcs if f.pure]
        if pure and depth < 3:
            f = self.r.choice(pure)
            return "%s(%s)" % (f.name, ", ".join(
                "(%s | 0)" % sub() for _ in f.params))
        return self.readable(scope, depth)

    # --------------------------------------------------------- statements
    def writable(self, scope):
        """An lvalue of scalar type (and the scope it needs)."""
        v = self.r.choice([v for v in scope if not getattr(v, "readonly", False)]
                          or scope)
        if v.kind in ("int", "char", "byte", "short"):
            return v.name
        if v.kind in ("array", "ptr"):
            if v.kind == "ptr" and self.chance(0.3):
                return "(*%s)" % v.name
            return "%s[%s]" % (v.name, self.index(v.count, scope, 1))
        m, t, c = self.r.choice(v.struct.members)
        if v.kind == "struct":
            base = "%s.%s" % (v.name, m)
        elif v.kind == "sptr":
            base = "%s->%s" % (v.name, m)
        else:
            base = "%s[%s].%s" % (v.name, self.index(v.count, scope, 1), m)
        if c:
            base += "[%s]" % self.index(c, scope, 1)
        return base

    def statement(self, scope, writable, loops, depth, func_pure):
        r = self.r.random()
        if r < 0.30 or depth > 2:
            target = self.writable(writable)
            op = self.r.choice(["=", "=", "=", "+=", "-=", "^=", "|=", "&=", "*="])
            self.emit("%s %s %s;" % (target, op, self.expr(scope)))
        elif r < 0.36:
            target = self.writable(writable)
            self.emit(self.r.choice(["%s++;", "%s--;", "++%s;", "--%s;"]) % target)
        elif r < 0.46 and not func_pure:
            self.emit('say("%%d", %s);' % self.expr(scope))
        elif r < 0.56:
            self.emit("if (%s) {" % self.expr(scope))
            self.block(scope, writable, loops, depth + 1, func_pure)
            if self.chance(0.5):
                self.emit("} else {")
                self.block(scope, writable, loops, depth + 1, func_pure)
            self.emit("}")
        elif r < 0.68 and loops:
            counter = loops.pop()
            bound = self.r.randint(0, 6)
            kind = self.r.random()
            if kind < 0.6:
                self.emit("for (%s = 0; %s < %d; %s++) {" % (counter, counter, bound, counter))
            elif kind < 0.8:
                self.emit("%s = 0;" % counter)
                self.emit("while (%s < %d) {" % (counter, bound))
                self.emit("  %s++;" % counter)
            else:
                self.emit("%s = 0;" % counter)
                self.emit("do {")
                self.emit("  %s++;" % counter)
            self.indent += 1
            if self.chance(0.3):
                self.emit("if (%s) %s;" % (self.expr(scope),
                                             self.r.choice(["break", "continue"])))
            self.indent -= 1
            self.block(scope, writable, loops, depth + 1, func_pure)
            if kind >= 0.8:
                self.emit("} while (%s < %d);" % (counter, bound))
            else:
                self.emit("}")
            loops.append(counter)
        elif r < 0.76:
            self.emit("switch ((%s) & 7) {" % self.expr(scope))
            for value in sorted(self.r.sample(range(8), self.r.randint(1, 4))):
                self.emit("case %d:" % value)
                self.indent += 1
                self.block_body(scope, writable, loops, depth + 1, func_pure, 2)
                if self.chance(0.7):
                    self.emit("break;")
                self.indent -= 1
            if self.chance(0.5):
                self.emit("default:")
                self.indent += 1
                self.block_body(scope, writable, loops, depth + 1, func_pure, 1)
                self.indent -= 1
            self.emit("}")
        elif r < 0.84:
            impure = [f for f in self.funcs if not f.pure]
            locals_ = [v for v in writable if v.kind == "int" and getattr(v, "local", False)]
            if func_pure or not impure or not locals_:
                target = self.writable(writable)
                self.emit("%s = %s;" % (target, self.expr(scope)))
                return
            f = self.r.choice(impure)
            args = []
            for kind, p in f.params:
                if kind == "int":
                    args.append(self.argument(scope))
                elif kind == "ptr":
                    arrays = [v for v in scope if v.kind == "array" and v.elem == p.elem
                              and v.count >= p.count]
                    args.append(self.r.choice(arrays).name if arrays else "0")
                else:
                    structs = [v for v in scope if v.kind == "struct" and v.struct is p.struct]
                    if not structs:
                        self.emit("%s = %s;" % (self.writable(writable), self.expr(scope)))
                        return
                    args.append("&" + self.r.choice(structs).name)
            self.emit("%s = %s(%s);" % (self.r.choice(locals_).name, f.name, ", ".join(args)))
        else:
            copies = [(a, b) for a in writable for b in scope
                      if a.kind == "struct" and b.kind in ("struct", "sarray")
                      and a.struct is b.struct and a is not b]
            if copies:
                a, b = self.r.choice(copies)
                src = b.name if b.kind == "struct" else "%s[%s]" % (
                    b.name, self.index(b.count, scope, 1))
                self.emit("%s = %s;" % (a.name, src))
            else:
                self.emit("%s = %s;" % (self.writable(writable), self.expr(scope)))

    def block_body(self, scope, writable, loops, depth, func_pure, most):
        for _ in range(self.r.randint(1, most)):
            self.statement(scope, writable, loops, depth, func_pure)

    def block(self, scope, writable, loops, depth, func_pure):
        self.indent += 1
        self.block_body(scope, writable, loops, depth, func_pure, 3)
        self.indent -= 1

    # ---------------------------------------------------------- functions
    def function(self, pure):
        name = self.name("f" if pure else "g")
        params = []
        for _ in range(self.r.randint(0 if not pure else 1, 3)):
            p = Var(self.name("p"), "int")
            params.append(("int", p))
        if not pure:
            arrays = [g for g in self.globals if g.kind == "array"]
            if arrays and self.chance(0.6):
                a = self.r.choice(arrays)
                p = Var(self.name("p"), "ptr", a.count)
                p.elem = a.elem
                params.append(("ptr", p))
            if self.structs and self.chance(0.5):
                p = Var(self.name("p"), "sptr", struct=self.r.choice(self.structs))
                params.append(("sptr", p))
        f = Func(name, params, pure)
        recursive = pure and self.chance(0.3)
        self.emit("int %s(%s)" % (name, ", ".join(self.declare(p, k) for k, p in params)))
        self.emit("{")
        self.indent += 1
        locals_ = []
        pad = None
        if self.chance(0.25):
            # A big array declared first puts the other locals past frame
            # offset 127, where the wide forms of the instructions take over.
            pad = Var(self.name("big"), "array", self.r.choice([128, 256]))
            pad.elem = self.r.choice(["int", "char", "byte"])
        for _ in range(self.r.randint(1, 3)):
            v = Var(self.name("v"), self.r.choice(["int", "int", "char", "byte", "short"]))
            v.local = True
            locals_.append(v)
        arr = Var(self.name("a"), "array", self.r.choice([2, 4, 8]))
        arr.elem = self.r.choice(["int", "int", "char"])
        locals_.append(arr)
        loops = [self.name("i") for _ in range(2)]
        if pad:
            self.emit(self.declare(pad, None) + ";")
        for v in locals_:
            self.emit(self.declare(v, None) + ";")
        if pad:
            locals_.append(pad)
        self.emit("int %s;" % ", ".join(loops))
        scope_params = [p for _, p in params]
        for v in locals_:
            if v.kind == "array":
                self.emit("for (%s = 0; %s < %d; %s++) %s[%s] = %s;" % (
                    loops[0], loops[0], v.count, loops[0], v.name, loops[0],
                    self.expr(scope_params + [l for l in locals_ if l.kind != "array"])))
            else:
                self.emit("%s = %s;" % (v.name, self.expr(scope_params)))
        readable = scope_params + locals_ + [g for g in self.globals]
        writable = scope_params + locals_ if pure else readable
        writable = [w for w in writable if w.kind != "sarray" or not pure]
        if recursive:
            depth_param = params[0][1]
            self.emit("if (%s <= 0 || %s > 6) return %s;" % (
                depth_param.name, depth_param.name, self.expr(readable)))
            for v in readable:
                if v is depth_param:
                    v.readonly = True
        self.block_body(readable, writable, loops, 1, pure, 4 if pure else 6)
        if recursive:
            others = [self.expr(readable) for _ in params[1:]]
            self.emit("%s = %s + %s(%s);" % (
                locals_[0].name, locals_[0].name, name,
                ", ".join(["%s - 1" % params[0][1].name] +
                          ["(%s | 0)" % o for o in others])))
        self.emit("return %s;" % self.expr(readable))
        self.indent -= 1
        self.emit("}")
        self.emit("")
        for _, p in params:
            p.readonly = False
        self.funcs.append(f)

    # ------------------------------------------------------------ program
    def program(self):
        self.emit("/* generated */")
        for _ in range(self.r.randint(0, 2)):
            s = self.make_struct()
            self.emit("struct %s {" % s.name)
            for m, t, c in s.members:
                self.emit("  @%s@ %s%s;" % (t, m, "[%d]" % c if c else ""))
            self.emit("};")
        for _ in range(self.r.randint(1, 5)):
            kind = self.r.choice(["int", "int", "char", "byte", "short", "array",
                                  "array", "struct", "sarray"])
            if kind in ("struct", "sarray") and not self.structs:
                kind = "array"
            v = Var(self.name("G"), kind)
            init = None
            if kind == "array":
                v.count = self.r.choice([2, 4, 8, 16])
                v.elem = self.r.choice(["int", "int", "char", "byte"])
                if self.chance(0.6):
                    values = [str(self.r.randint(0, 255 if v.elem == "byte" else 60000))
                              for _ in range(self.r.randint(1, v.count))]
                    init = "{%s}" % ", ".join(values)
            elif kind in ("struct", "sarray"):
                v.struct = self.r.choice(self.structs)
                if kind == "sarray":
                    v.count = self.r.choice([2, 4])
                if self.chance(0.6):
                    # Braced, with members and elements left out at the
                    # end: they start as zeros.
                    def one():
                        parts = []
                        members = v.struct.members
                        for m, t, c in members[:self.r.randint(1, len(members))]:
                            limit = 255 if t == "byte" else 60000
                            if c:
                                parts.append("{%s}" % ", ".join(
                                    str(self.r.randint(0, limit))
                                    for _ in range(self.r.randint(1, c))))
                            else:
                                parts.append(str(self.r.randint(0, limit)))
                        return "{%s}" % ", ".join(parts)
                    if kind == "struct":
                        init = one()
                    else:
                        init = "{%s}" % ", ".join(
                            one() for _ in range(self.r.randint(1, v.count)))
            elif self.chance(0.5):
                init = str(self.r.randint(0, 255 if kind == "byte" else 30000))
            self.globals.append(v)
            self.emit(self.declare(v, None) + (" = %s" % init if init else "") + ";")
        self.emit("")
        for _ in range(self.r.randint(1, 4)):
            self.function(pure=True)
        for _ in range(self.r.randint(0, 3)):
            self.function(pure=False)
        for _ in range(self.r.randint(0, 2)):
            self.function(pure=True)
        # main
        self.emit("int main()")
        self.emit("{")
        self.indent += 1
        locals_ = [Var(self.name("v"), "int") for _ in range(3)]
        for v in locals_:
            v.local = True
        loops = [self.name("i") for _ in range(3)]
        arrays = [Var(self.name("a"), "array", 8)]
        arrays[0].elem = "int"
        structs = []
        for s in self.structs:
            sv = Var(self.name("s"), "struct", struct=s)
            structs.append(sv)
        if self.chance(0.3):
            big = Var(self.name("big"), "array", 256)
            big.elem = "int"
            self.emit(self.declare(big, None) + ";")
            arrays.append(big)
        self.emit("int %s;" % ", ".join(v.name for v in locals_ + [Var(i, "int") for i in loops]))
        for v in arrays[:1] + structs:
            self.emit(self.declare(v, None) + ";")
        for v in locals_:
            self.emit("%s = %s;" % (v.name, self.literal()))
        for a in arrays:
            self.emit("for (%s = 0; %s < %d; %s++) %s[%s] = %s * 3 + 1;" % (
                loops[0], loops[0], a.count, loops[0], a.name, loops[0], loops[0]))
        for s in structs:
            for m, t, c in s.struct.members:
                if c:
                    self.emit("for (%s = 0; %s < %d; %s++) %s.%s[%s] = %s;" % (
                        loops[0], loops[0], c, loops[0], s.name, m, loops[0], loops[0]))
                else:
                    self.emit("%s.%s = %s;" % (s.name, m, self.literal()))
        scope = locals_ + arrays + structs + self.globals
        for _ in range(self.r.randint(4, 10)):
            self.statement(scope, scope, loops, 0, False)
        # Checksums of everything at the end.
        check = locals_[0].name
        self.emit("%s = 0;" % check)
        for v in self.globals + arrays + structs + locals_[1:]:
            if v.kind in ("int", "char", "byte", "short"):
                self.emit('say("%s %%d", %s);' % (v.name, v.name))
                self.emit("%s = %s * 31 + %s;" % (check, check, v.name))
            elif v.kind == "array":
                self.emit("for (%s = 0; %s < %d; %s++) %s = %s * 31 + %s[%s];" % (
                    loops[0], loops[0], v.count, loops[0], check, check, v.name, loops[0]))
            else:
                n = v.count if v.kind == "sarray" else 1
                for k in range(n):
                    ref = "%s[%d]" % (v.name, k) if v.kind == "sarray" else v.name
                    for m, t, c in v.struct.members:
                        if c:
                            for j in range(c):
                                self.emit("%s = %s * 31 + %s.%s[%d];" % (check, check, ref, m, j))
                        else:
                            self.emit("%s = %s * 31 + %s.%s;" % (check, check, ref, m))
        self.emit('say("checksum %%d", %s);' % check)
        self.emit("return %s & 127;" % check)
        self.indent -= 1
        self.emit("}")
        return "\n".join(self.lines) + "\n"


def render(text, types):
    for k, v in types.items():
        text = text.replace("@%s@" % k, v)
    return text


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: generate.py SEED OUT_DIR")
    seed = int(sys.argv[1])
    out = sys.argv[2]
    text = Generator(seed).program()
    with open(os.path.join(out, "prog.q"), "w") as f:
        f.write(render(text, TYPES_QXL))
    with open(os.path.join(out, "prog.c"), "w") as f:
        f.write(C_PRELUDE + render(text, TYPES_C))


if __name__ == "__main__":
    main()

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
  first, C in any order).  The pointer walks below are the one exception:
  `*q++`, `*r++ = *q++` and the like, where the walked pointer is read
  nowhere else in the statement;
- parameters are int or pointers (a char parameter keeps its whole word in
  QXL), no casts, no sizeof (the type sizes differ), and 2-byte values in
  memory are char (unsigned in both), never negative shorts: a 2-byte load
  through a pointer cannot tell short from char, so there are no pointers
  to short either;
- loops run a bounded number of times, recursion is linear and shallow, and
  an estimate of the instructions every function runs keeps the programs
  well below qxlrun's step limit (see Ctx.spend).

Pointers.  Every pointer variable is bound, for its whole life, to one
region: an array, an array member of a structure, a scalar, an array of
structures or a structure, or the elements a pointer parameter may reach.
It has a window W: it always points at an element with at least W elements
of the region from there on, so *p, p[(e) & (W-1)] and p + W stay inside.
Every assignment keeps that true (p = A + ((e) & M) with M small enough,
`if (p < A + (N - W)) p++;`, ...).  Pointers into one region may be
subtracted and compared with <, >, <= and >=; pointers into different
regions only with == and !=.  Walks use pointers of their own, declared in
a block around the walk, from the start of a region to one past its end.

Strings.  Some char arrays (and char array members) hold strings: their
last element is always 0, so a loop that looks for the terminator stops
inside the array.  Ordinary writes into them use the index mask N-2, which
never reaches the last element, and pointers into them are only read
through.  String constants are read only.
"""

import os
import random
import sys

TYPES_QXL = {"int": "int", "char": "char", "byte": "byte", "short": "short",
             "S": ""}
TYPES_C = {"int": "int", "char": "unsigned short", "byte": "unsigned char",
           "short": "short", "S": "u"}

C_PRELUDE = """#include <stdio.h>
#define say(...) (printf(__VA_ARGS__), printf("\\n"))
"""

SCALARS = ("int", "char", "byte", "short")

# Estimated instructions: the budget of the whole program (main and what it
# calls) and of one function.  qxlrun's step limit is far above the first.
MAIN_BUDGET = 600000
FUNC_BUDGET = 12000
RECURSION_LEVELS = 7  # a recursive function runs its body at most this often
LOOP_PASSES = 6       # the most passes a counted loop makes


def pow2floor(n):
    """The largest power of two not above n (n >= 1)."""
    p = 1
    while p * 2 <= n:
        p *= 2
    return p


class Struct:
    def __init__(self, name, members):
        self.name = name
        # (name, type, count, string): type is a scalar type name or a
        # Struct (a nested structure), count 0 for a scalar member.
        self.members = members
        self.leaves = []  # (suffix, type, count, string) of scalar places
        self.inner = []   # (suffix, Struct) of nested structure members
        for m, t, c, s in members:
            if isinstance(t, Struct):
                self.inner.append(("." + m, t))
                for suf, tt, cc, ss in t.leaves:
                    self.leaves.append(("." + m + suf, tt, cc, ss))
                for suf, st in t.inner:
                    self.inner.append(("." + m + suf, st))
            else:
                self.leaves.append(("." + m, t, c, s))


class Region:
    """`count` elements of `elem` (a scalar type or a Struct) from `base`,
    an expression for a pointer to the first one."""

    def __init__(self, base, count, elem, owner, string=False, literal=False,
                 subscript=True):
        self.base = base
        self.count = count
        self.elem = elem
        self.owner = owner        # None: lives as long as the program
        self.string = string      # holds a 0 at or before its last element
        self.literal = literal    # a string constant: never written
        self.subscript = subscript  # base[i] is valid text
        # The whole object, so that a string in it is shorter than count;
        # a pointer parameter only knows how far it may read.
        self.whole = True
        self.ptrs = []            # pointer variables bound to it


class Var:
    def __init__(self, name, kind, count=0, struct=None, elem=None, owner=None):
        self.name = name
        self.kind = kind      # int char byte short | array | struct | sarray | ptr | sptr
        self.count = count    # elements of an array; the window of a pointer
        self.struct = struct  # element struct of struct kinds
        self.elem = elem      # element scalar type of arrays and pointers
        self.owner = owner    # the function it belongs to, None for globals
        self.string = False   # char array holding a string
        self.readonly = False
        self.region = None    # pointers: the region they point into


class Func:
    def __init__(self, name, params, pure):
        self.name = name
        self.params = params  # list of Var: int, ptr or sptr
        self.pure = pure
        self.cost = 0


class Ctx:
    """What the body of one function may use, and what it costs."""

    def __init__(self, name, pure, budget):
        self.name = name
        self.pure = pure
        self.budget = budget
        self.scope = []    # readable variables
        self.regions = []  # regions pointers may point into
        self.loops = []    # free loop counters
        self.open_loops = []  # (counter, bound, first pass) of enclosing loops
        self.weight = 1    # how often the current statement may run
        self.calls = True  # whether expressions may call functions
        self.cost = 0

    def spend(self, n):
        self.cost += n * self.weight

    def affordable(self, n):
        return self.cost + n * self.weight <= self.budget

    def can_write_region(self, r):
        return not r.literal and (not self.pure or r.owner == self.name)

    def writable(self):
        out = []
        for v in self.scope:
            if v.readonly:
                continue
            if v.kind in ("ptr", "sptr"):
                if self.can_write_region(v.region) and not v.region.string:
                    out.append(v)
            elif not self.pure or v.owner == self.name:
                out.append(v)
        return out

    def pointers(self):
        """Pointer variables this function may point elsewhere."""
        return [v for v in self.scope
                if v.kind in ("ptr", "sptr") and v.region.base != v.name
                and (not self.pure or v.owner == self.name)]


class Generator:
    def __init__(self, seed):
        self.r = random.Random(seed)
        self.lines = []
        self.indent = 0
        self.structs = []
        self.globals = []
        self.global_regions = []
        self.funcs = []
        self.uid = 0
        self.cost_outside = 0  # of code that takes no Ctx

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

    def text(self, most):
        """Contents of a string constant: at most `most` characters."""
        alphabet = self.r.choice(["ab", "abc", "abcdefxyz", "hello world"])
        return "".join(self.r.choice(alphabet)
                       for _ in range(self.r.randint(0, most)))

    def string_constant(self, most):
        return '@S@"%s"' % self.text(most)

    # ---------------------------------------------------------- structure
    def make_struct(self):
        name = self.name("S")
        members = []
        for _ in range(self.r.randint(1, 4)):
            t = self.r.choice(["int", "int", "char", "byte", "intarr", "str",
                               "bytearr", "inner"])
            m = self.name("m")
            if t == "intarr":
                members.append((m, "int", 4, False))
            elif t == "bytearr":
                members.append((m, "byte", 4, False))
            elif t == "str":
                members.append((m, "char", 8, True))
            elif t == "inner":
                if self.structs:
                    members.append((m, self.r.choice(self.structs), 0, False))
                else:
                    members.append((m, "int", 0, False))
            else:
                members.append((m, t, 0, False))
        s = Struct(name, members)
        self.structs.append(s)
        self.emit("struct %s {" % s.name)
        for m, t, c, _ in s.members:
            if isinstance(t, Struct):
                self.emit("  struct %s %s;" % (t.name, m))
            else:
                self.emit("  @%s@ %s%s;" % (t, m, "[%d]" % c if c else ""))
        self.emit("};")
        return s

    def declare(self, v):
        """Declaration text with a type placeholder for the two languages."""
        if v.kind in SCALARS:
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
        raise ValueError(v.kind)

    def regions_of(self, v, owner):
        """The regions a variable offers to pointers."""
        out = []
        if v.kind in ("int", "char", "byte"):
            out.append(Region("&" + v.name, 1, v.kind, owner, subscript=False))
        elif v.kind == "array":
            out.append(Region(v.name, v.count, v.elem, owner, string=v.string))
        elif v.kind in ("struct", "sarray"):
            if v.kind == "struct":
                refs = [v.name]
                out.append(Region("&" + v.name, 1, v.struct, owner, subscript=False))
            else:
                refs = ["%s[%d]" % (v.name, k) for k in range(v.count)]
                refs = self.r.sample(refs, min(2, len(refs)))
                out.append(Region(v.name, v.count, v.struct, owner))
            for ref in refs:
                for suf, t, c, s in v.struct.leaves:
                    if c:
                        out.append(Region(ref + suf, c, t, owner, string=s))
                    elif self.chance(0.5):
                        out.append(Region("&" + ref + suf, 1, t, owner, subscript=False))
                for suf, st in v.struct.inner:
                    out.append(Region("&" + ref + suf, 1, st, owner, subscript=False))
        return out

    # ----------------------------------------------------------- pointers
    def pointer_into(self, ctx, region, room, depth=1):
        """A pointer expression into the region with at least `room`
        elements of it from where it points (room 0: up to one past the
        end)."""
        slack = region.count - room
        mask = pow2floor(slack + 1) - 1
        r = self.r.random()
        holders = [p for p in region.ptrs if p in ctx.scope and p.count >= room]
        if holders and r < 0.35:
            p = self.r.choice(holders)
            extra = pow2floor(p.count - room + 1) - 1
            if extra == 0 or self.chance(0.4):
                return p.name
            if self.chance(0.5):
                return "&%s[(%s) & %d]" % (p.name, self.expr(ctx, depth + 1), extra)
            return "(%s + ((%s) & %d))" % (p.name, self.expr(ctx, depth + 1), extra)
        if mask == 0 or r < 0.55:
            if room == 0 and self.chance(0.3):
                return "(%s + %d)" % (region.base, region.count)
            return region.base
        if r < 0.7:
            return "(%s + %d)" % (region.base, self.r.randint(0, slack))
        if region.subscript and self.chance(0.5):
            return "&%s[(%s) & %d]" % (region.base, self.expr(ctx, depth + 1), mask)
        return "(%s + ((%s) & %d))" % (region.base, self.expr(ctx, depth + 1), mask)

    def regions(self, ctx, elem=None, room=1, write=False, string=None,
                structs=False):
        out = []
        for g in ctx.regions:
            if g.count < room:
                continue
            if elem is not None and g.elem is not elem and g.elem != elem:
                continue
            if elem is None and isinstance(g.elem, Struct) != structs:
                continue
            if write and (not ctx.can_write_region(g) or g.string):
                continue
            if string is not None and g.string != string:
                continue
            out.append(g)
        return out

    def pointer_compare(self, ctx, depth):
        """An int-valued comparison or difference of pointers."""
        ptrs = [v for v in ctx.scope if v.kind in ("ptr", "sptr")]
        r = self.r.random()
        if ptrs and r < 0.3:
            v = self.r.choice(ptrs)
            form = self.r.randint(0, 4)
            if form == 0:
                return "(%s %s 0)" % (v.name, self.r.choice(["==", "!="]))
            if form == 1:
                return "(!(%s))" % v.name
            if form == 2:
                return "(%s %s %s)" % (v.name, self.r.choice(["&&", "||"]),
                                       self.expr(ctx, depth + 1))
            if form == 3:
                return "(%s ? %s : %s)" % (v.name, self.expr(ctx, depth + 1),
                                           self.expr(ctx, depth + 1))
            same = [w for w in ptrs if w is not v and w.kind == v.kind
                    and (w.elem == v.elem if v.kind == "ptr" else w.struct is v.struct)]
            if same:
                return "(%s %s %s)" % (v.name, self.r.choice(["==", "!="]),
                                       self.r.choice(same).name)
            return "(%s != 0)" % v.name
        candidates = [g for g in ctx.regions if not g.literal]
        if not candidates:
            return self.literal()
        g = self.r.choice(candidates)
        a = self.pointer_into(ctx, g, 0, depth)
        b = self.pointer_into(ctx, g, 0, depth)
        op = self.r.choice(["-", "-", "<", ">", "<=", ">=", "==", "!="])
        return "(%s %s %s)" % (a, op, b)

    # -------------------------------------------------------- expressions
    def scalars(self, scope):
        return [v for v in scope if v.kind in SCALARS]

    def index(self, ctx, count, depth):
        return "(%s) & %d" % (self.expr(ctx, depth + 1), count - 1)

    def leaf(self, ctx, ref, struct, depth, write):
        suf, t, c, s = self.r.choice(struct.leaves)
        base = ref + suf
        if c:
            base += "[%s]" % self.index(ctx, c - 1 if write and s else c, depth)
        return base

    def place(self, ctx, v, depth, write):
        """A scalar place in the variable: to read, or to write."""
        if v.kind in SCALARS:
            return v.name
        if v.kind == "array":
            n = v.count
            if write and v.string:
                n -= 1  # the mask n - 1 keeps off the terminator
            return "%s[%s]" % (v.name, self.index(ctx, n, depth))
        if v.kind == "ptr":
            w = pow2floor(v.count)
            form = self.r.randint(0, 5)
            if form == 0 or w == 1:
                return "(*%s)" % v.name
            if form == 1:
                return "%s[%d]" % (v.name, self.r.randint(0, v.count - 1))
            if form == 2:
                return "(*(%s + (%s)))" % (v.name, self.index(ctx, w, depth))
            if form == 3:
                return "(*(%s + %d - (%s)))" % (v.name, v.count - 1,
                                                self.index(ctx, w, depth))
            return "%s[%s]" % (v.name, self.index(ctx, w, depth))
        if v.kind == "sptr":
            w = pow2floor(v.count)
            form = self.r.randint(0, 3)
            if form == 0 or w == 1:
                ref = self.r.choice(["%s->" % v.name, "(*%s)." % v.name])
                return self.leaf(ctx, "", v.struct, depth, write).replace(
                    ".", ref, 1)
            if form == 1:
                ref = "(%s + %d)->" % (v.name, self.r.randint(0, v.count - 1))
                return self.leaf(ctx, "", v.struct, depth, write).replace(".", ref, 1)
            return self.leaf(ctx, "%s[%s]" % (v.name, self.index(ctx, w, depth)),
                             v.struct, depth, write)
        if v.kind == "struct":
            return self.leaf(ctx, v.name, v.struct, depth, write)
        # sarray
        return self.leaf(ctx, "%s[%s]" % (v.name, self.index(ctx, v.count, depth)),
                         v.struct, depth, write)

    def readable(self, ctx, depth):
        """An int-valued place to read; deep down only plain scalars."""
        ctx.spend(2)
        if depth > 4:
            plain = self.scalars(ctx.scope)
            return self.r.choice(plain).name if plain else self.literal()
        if not ctx.scope:
            return self.literal()
        return self.place(ctx, self.r.choice(ctx.scope), depth, False)

    def call_args(self, ctx, f, depth):
        """Arguments for a call of f, or None when this scope has none."""
        args = []
        for p in f.params:
            if p.kind == "int":
                # A byte argument does not match an int parameter in QXL:
                # "| 0" makes every argument an int.
                args.append("(%s | 0)" % self.expr(ctx, depth + 1))
                continue
            if p.kind == "ptr":
                choices = self.regions(ctx, p.elem, p.count, write=not f.pure,
                                       string=True if p.string else None)
                if p.string and self.chance(0.3):
                    args.append(self.string_constant(6))
                    continue
            else:
                choices = self.regions(ctx, p.struct, p.count, write=not f.pure)
            if not choices:
                return None
            args.append(self.pointer_into(ctx, self.r.choice(choices), p.count, depth))
        return args

    def expr(self, ctx, depth=0):
        if depth > 3 or self.chance(0.25):
            if self.chance(0.3):
                return self.literal()
            return self.readable(ctx, depth)
        ctx.spend(2)
        r = self.r.random()
        sub = lambda: self.expr(ctx, depth + 1)
        if r < 0.33:
            op = self.r.choice(["+", "-", "*", "&", "|", "^", "+", "-"])
            return "(%s %s %s)" % (sub(), op, sub())
        if r < 0.42:
            op = self.r.choice(["/", "%"])
            return "(%s %s (((%s) & 15) + 1))" % (sub(), op, sub())
        if r < 0.49:
            op = self.r.choice(["<<", ">>"])
            if self.chance(0.5):
                return "(%s %s %d)" % (sub(), op, self.r.randint(0, 31))
            return "(%s %s ((%s) & 31))" % (sub(), op, sub())
        if r < 0.61:
            op = self.r.choice(["<", "<=", ">", ">=", "==", "!="])
            return "(%s %s %s)" % (sub(), op, sub())
        if r < 0.67:
            op = self.r.choice(["&&", "||"])
            return "(%s %s %s)" % (sub(), op, sub())
        if r < 0.72:
            return "(%s ? %s : %s)" % (sub(), sub(), sub())
        if r < 0.79:
            op = self.r.choice(["-", "~", "!"])
            return "(%s(%s))" % (op, sub())
        if r < 0.86 and depth < 3:
            return self.pointer_compare(ctx, depth)
        pure = [f for f in self.funcs if f.pure and ctx.affordable(f.cost + 20)]
        if pure and depth < 3 and ctx.calls:
            f = self.r.choice(pure)
            args = self.call_args(ctx, f, depth)
            if args is not None:
                ctx.spend(f.cost + 4 + 2 * len(f.params))
                return "%s(%s)" % (f.name, ", ".join(args))
        return self.readable(ctx, depth)

    # --------------------------------------------------------- statements
    def writable(self, ctx):
        """An lvalue of scalar type."""
        choices = ctx.writable()
        if not choices:
            raise RuntimeError("nothing to write in " + ctx.name)
        return self.place(ctx, self.r.choice(choices), 1, True)

    def int_target(self, ctx):
        """An int variable of this function to take a result."""
        locals_ = [v for v in ctx.scope if v.kind == "int" and v.owner == ctx.name
                   and not v.readonly]
        return self.r.choice(locals_).name

    def assignment(self, ctx):
        target = self.writable(ctx)
        op = self.r.choice(["=", "=", "=", "+=", "-=", "^=", "|=", "&=", "*="])
        ctx.spend(4)
        self.emit("%s %s %s;" % (target, op, self.expr(ctx)))

    def loop(self, ctx, depth):
        """A counted loop in one of four forms.  Most run several passes,
        and the exits in their bodies (see exit_statement) mostly depend on
        the pass, so that `break` and `continue` are taken on some passes
        and not on others: a jump to the wrong place then changes what the
        passes after it do, the tally of finished passes and the counter
        left after the loop."""
        counter = ctx.loops.pop()
        bound = self.r.randint(2, LOOP_PASSES) if self.chance(0.8) else self.r.randint(0, 1)
        kind = self.r.choice(["for", "for", "while", "while", "do", "do", "do",
                              "forever"])
        if kind == "for":
            self.emit("for (%s = 0; %s < %d; %s++) {" % (counter, counter, bound, counter))
        elif kind == "forever":
            # No condition: the exit test is the body's first statement and
            # `continue` goes to the step.
            self.emit("for (%s = 0; ; %s++) {" % (counter, counter))
            self.emit("  if (%s >= %d) break;" % (counter, bound))
        elif kind == "while":
            self.emit("%s = 0;" % counter)
            self.emit("while (%s < %d) {" % (counter, bound))
            self.emit("  %s++;" % counter)
        else:
            self.emit("%s = 0;" % counter)
            self.emit("do {")
            self.emit("  %s++;" % counter)
        # The body may read the counter (it is set on every pass), never
        # write it: every pass moves it on by one, so the loop ends.
        ctx.scope.append(Var(counter, "int", owner=ctx.name))
        ctx.scope[-1].readonly = True
        # A do loop runs its body once even when the bound is 0.
        ctx.open_loops.append((counter, bound, 1 if kind in ("while", "do") else 0))
        saved = ctx.weight
        ctx.weight *= max(bound, 1) + 1
        ctx.spend(6)
        self.indent += 1
        count = self.r.randint(1, 3)
        exit_at = self.r.randint(0, count) if self.chance(0.8) else -1
        for k in range(count + 1):
            if k == exit_at:
                self.exit_statement(ctx)
            if k < count:
                self.statement(ctx, depth + 1)
        if self.chance(0.6):
            # A tally of the passes that got this far.
            ctx.spend(6)
            self.emit("%s += %s + %d;" % (self.writable(ctx), counter, self.r.randint(1, 9)))
        self.indent -= 1
        ctx.weight = saved
        ctx.open_loops.pop()
        ctx.scope.pop()
        if kind == "do":
            self.emit("} while (%s < %d);" % (counter, bound))
        else:
            self.emit("}")
        if self.chance(0.5):
            # Where the counter stopped: how many passes ran.
            ctx.spend(6)
            if ctx.pure:
                self.emit("%s += %s;" % (self.writable(ctx), counter))
            else:
                self.emit('say("%%d", %s);' % counter)
        ctx.loops.append(counter)

    def pass_condition(self, ctx, counter, bound, first):
        """A condition on the pass of a loop: true on some passes, false
        on others (the counter runs from `first` to the bound)."""
        last = max(bound, first)
        form = self.r.randint(0, 6)
        if form == 0:
            return "%s == %d" % (counter, self.r.randint(first, last))
        if form == 1:
            return "(%s & 1) == %d" % (counter, self.r.randint(0, 1))
        if form == 2:
            m = self.r.randint(2, 3)
            return "%s %% %d == %d" % (counter, m, self.r.randint(0, m - 1))
        if form == 3:
            return "%s %s %d" % (counter, self.r.choice([">", ">=", "<", "<="]),
                                 self.r.randint(first, last))
        if form == 4:
            # Mixed with the program's values, so it differs from run to run
            # of the loop as well.
            return "((%s) ^ %s) & 1" % (self.expr(ctx, 2), counter)
        if form == 5:
            return "%s != %d && (%s)" % (counter, self.r.randint(first, last),
                                        self.expr(ctx, 2))
        return self.expr(ctx)

    def exit_statement(self, ctx):
        """`if (...) break;` or `if (...) continue;` on the pass of the
        innermost counted loop.  Inside an `if` it leaves the loop or the
        pass; inside a switch `break` leaves the switch only, and
        `continue` still the pass of the loop."""
        counter, bound, first = ctx.open_loops[-1]
        ctx.spend(6)
        jump = self.r.choice(["break", "continue", "continue"])
        self.emit("if (%s) %s;" % (self.pass_condition(ctx, counter, bound, first), jump))

    def switch(self, ctx, depth):
        self.emit("switch ((%s) & 7) {" % self.expr(ctx))
        ctx.spend(4)
        for value in sorted(self.r.sample(range(8), self.r.randint(1, 4))):
            self.emit("case %d:" % value)
            self.indent += 1
            self.block_body(ctx, depth + 1, 2)
            if self.chance(0.7):
                self.emit("break;")
            self.indent -= 1
        if self.chance(0.5):
            self.emit("default:")
            self.indent += 1
            self.block_body(ctx, depth + 1, 1)
            self.indent -= 1
        self.emit("}")

    def call_statement(self, ctx):
        impure = [f for f in self.funcs if not f.pure and ctx.affordable(f.cost + 20)]
        if ctx.pure or not impure:
            return self.assignment(ctx)
        f = self.r.choice(impure)
        args = self.call_args(ctx, f, 0)
        if args is None:
            return self.assignment(ctx)
        ctx.spend(f.cost + 4 + 2 * len(f.params))
        self.emit("%s = %s(%s);" % (self.int_target(ctx), f.name, ", ".join(args)))

    def struct_copy(self, ctx):
        """A structure assignment, whole or of a nested member."""
        places = []  # (text, Struct, writable)
        for v in ctx.scope:
            w = not v.readonly and (not ctx.pure or v.owner == ctx.name)
            if v.kind == "struct":
                refs = [(v.name, v.struct)]
            elif v.kind == "sarray":
                refs = [("%s[%s]" % (v.name, self.index(ctx, v.count, 1)), v.struct)]
            elif v.kind == "sptr":
                w = ctx.can_write_region(v.region)
                refs = [("(*%s)" % v.name, v.struct)]
                if v.count > 1:
                    refs.append(("%s[%s]" % (v.name, self.index(ctx, pow2floor(v.count), 1)),
                                 v.struct))
            else:
                continue
            for ref, st in refs:
                places.append((ref, st, w))
                for suf, inner in st.inner:
                    places.append((ref + suf, inner, w))
        pairs = [(a, b) for a in places for b in places if a[2] and a[1] is b[1]]
        if not pairs:
            return self.assignment(ctx)
        a, b = self.r.choice(pairs)
        ctx.spend(10)
        self.emit("%s = %s;" % (a[0], b[0]))

    def statement(self, ctx, depth):
        if ctx.open_loops and self.chance(0.1):
            # An early exit deeper in a loop body: in an if, else or case.
            return self.exit_statement(ctx)
        r = self.r.random()
        if depth > 2 or ctx.cost > ctx.budget:
            if depth <= 3 and r < 0.25 and ctx.cost <= ctx.budget:
                return self.pointer_statement(ctx, depth)
            return self.assignment(ctx)
        if r < 0.20:
            self.assignment(ctx)
        elif r < 0.24:
            target = self.writable(ctx)
            ctx.spend(4)
            self.emit(self.r.choice(["%s++;", "%s--;", "++%s;", "--%s;"]) % target)
        elif r < 0.31 and not ctx.pure:
            ctx.spend(4)
            self.emit('say("%%d", %s);' % self.expr(ctx))
        elif r < 0.39:
            self.emit("if (%s) {" % self.expr(ctx))
            self.block(ctx, depth + 1)
            if self.chance(0.5):
                self.emit("} else {")
                self.block(ctx, depth + 1)
            self.emit("}")
        elif r < 0.52 and ctx.loops:
            self.loop(ctx, depth)
        elif r < 0.58:
            self.switch(ctx, depth)
        elif r < 0.65:
            self.call_statement(ctx)
        elif r < 0.69:
            self.struct_copy(ctx)
        else:
            self.pointer_statement(ctx, depth)

    def block_body(self, ctx, depth, most):
        for _ in range(self.r.randint(1, most)):
            self.statement(ctx, depth)

    def block(self, ctx, depth):
        self.indent += 1
        self.block_body(ctx, depth, 3)
        self.indent -= 1

    # ------------------------------------------- pointer and string code
    def pointer_statement(self, ctx, depth):
        r = self.r.random()
        if r < 0.18:
            return self.repoint(ctx)
        if r < 0.28:
            return self.bump(ctx)
        if r < 0.52:
            return self.walk(ctx)
        if r < 0.74:
            return self.string_statement(ctx)
        if r < 0.9:
            return self.struct_walk(ctx)
        if not ctx.pure:
            ctx.spend(6)
            self.emit('say("%%d", %s);' % self.pointer_compare(ctx, 1))
            return
        return self.assignment(ctx)

    def repoint(self, ctx):
        """Point a pointer variable elsewhere in its region."""
        ptrs = ctx.pointers()
        if not ptrs:
            return self.assignment(ctx)
        v = self.r.choice(ptrs)
        ctx.spend(6)
        self.emit("%s = %s;" % (v.name, self.pointer_into(ctx, v.region, v.count)))

    def bump(self, ctx):
        """Move a pointer variable by a step, where its window allows it."""
        ptrs = [v for v in ctx.pointers() if v.region.count > v.count]
        if not ptrs:
            return self.repoint(ctx)
        v = self.r.choice(ptrs)
        p, base = v.name, v.region.base
        slack = v.region.count - v.count  # the pointer is at most this far in
        step = self.r.randint(1, min(slack, 3))
        ctx.spend(8)
        if self.chance(0.5):
            cond = self.r.choice(["%s <= %s + %d" % (p, base, slack - step),
                                  "%s < %s + %d" % (p, base, slack - step + 1),
                                  "%s + %d <= %s + %d" % (p, step, base, slack),
                                  "%s - %s < %d" % (p, base, slack - step + 1)])
            sign = "+"
        else:
            cond = self.r.choice(["%s >= %s + %d" % (p, base, step),
                                  "%s - %s >= %d" % (p, base, step),
                                  "%s > %s + %d" % (p, base, step - 1)])
            sign = "-"
        self.emit("if (%s) %s;" % (cond, self.step(p, sign, step)))

    def open_block(self, ctx, count, decls):
        """Opens a block with its own locals around a loop of at most
        `count` rounds; close_block closes it."""
        self.emit("{")
        self.indent += 1
        for d in decls:
            self.emit(d + ";")
        saved = ctx.weight
        ctx.weight *= count + 1
        return saved

    def close_block(self, ctx, saved):
        ctx.weight = saved
        self.indent -= 1
        self.emit("}")

    def walk(self, ctx):
        """A loop over a region with a pointer of its own."""
        regions = [g for g in self.regions(ctx) if not g.literal]
        if not regions:
            return self.assignment(ctx)
        g = self.r.choice(regions)
        if not ctx.affordable(12 * (g.count + 1)):
            return self.assignment(ctx)
        n, base, elem = g.count, g.base, g.elem
        write = ctx.can_write_region(g) and not g.string
        form = self.r.randint(0, 7 if write else 2)
        q, q2, t = self.name("q"), self.name("q"), self.name("t")
        decls = ["@%s@ *%s" % (elem, q)]
        if self.chance(0.3):
            decls[0] += " = %s" % base  # an initialized block local
            init = None
        else:
            init = "%s = %s;" % (q, base)
        if form in (6, 7):
            decls.append("@%s@ *%s" % (elem, q2))
        if form == 6:
            decls.append("@%s@ %s" % (elem, t))
        saved = self.open_block(ctx, n, decls)
        if init:
            self.emit(init)
        ctx.spend(10)
        if form == 0:
            # Fold the elements into a variable.
            target = self.writable(ctx)
            if self.chance(0.5):
                self.emit("while (%s < %s + %d) %s = %s * 31 + *%s++;" % (
                    q, base, n, target, target, q))
            else:
                self.emit("for (; %s != %s + %d; %s) %s += *%s;" % (
                    q, base, n, self.step(q, "+"), target, q))
        elif form == 1:
            # The place of the first element equal to a value.
            target = self.writable(ctx)
            self.emit("while (%s < %s + %d && *%s != %s) %s;" % (
                q, base, n, q, self.expr(ctx, 2), self.step(q, "+")))
            self.emit("%s = %s - %s;" % (target, q, base))
        elif form == 2:
            # Backwards, from one past the end.
            target = self.writable(ctx)
            self.emit("%s = %s + %d;" % (q, base, n))
            if self.chance(0.5):
                self.emit("while (%s > %s) %s ^= *--%s;" % (q, base, target, q))
            else:
                self.emit("do {")
                self.emit("  %s;" % self.step(q, "-"))
                if n > 1 and self.chance(0.5):
                    # Skips one element: the pass goes on at the condition.
                    self.emit("  if (%s - %s == %d) continue;" % (q, base, self.r.randint(1, n - 1)))
                self.emit("  %s = %s * 7 + *%s + (%s - %s);" % (target, target, q, q, base))
                self.emit("} while (%s != %s);" % (q, base))
        elif form == 3:
            # Fill: *q++ = e, where e does not read q.
            self.emit("while (%s < %s + %d) *%s++ = %s;" % (
                q, base, n, q, self.expr(ctx, 2)))
        elif form == 4:
            # Stride over the elements (n is a power of two).
            step = self.r.choice([s for s in (1, 2, 4) if n % s == 0])
            self.emit("for (; %s < %s + %d; %s) {" % (q, base, n, self.step(q, "+", step)))
            if n > step and self.chance(0.5):
                self.emit("  if (%s - %s == %d) continue;" % (
                    q, base, step * self.r.randint(0, n // step - 1)))
            self.emit("  *%s = *%s %s %s;" % (q, q, self.r.choice(["+", "^", "-", "|"]),
                                            self.expr(ctx, 2)))
            self.emit("}")
        elif form == 5:
            # Backwards from the last element, adding each one's index.
            self.emit("%s = %s + %d;" % (q, base, n - 1))
            self.emit("for (;;) {")
            self.emit("  *%s += %s - %s;" % (q, q, base))
            self.emit("  if (%s == %s) break;" % (q, base))
            self.emit("  %s;" % self.step(q, "-"))
            self.emit("}")
        elif form == 6:
            # Reverse in place with two pointers.
            self.emit("%s = %s + %d;" % (q2, base, n - 1))
            self.emit("while (%s < %s) {" % (q, q2))
            self.emit("  %s = *%s;" % (t, q))
            self.emit("  *%s = *%s;" % (q, q2))
            self.emit("  *%s = %s;" % (q2, t))
            self.emit("  %s;" % self.step(q, "+"))
            self.emit("  %s;" % self.step(q2, "-"))
            self.emit("}")
        else:
            # Copy into another region of the same type.
            targets = [h for h in self.regions(ctx, elem, 1, write=True) if h is not g]
            if not targets:
                self.emit("%s = %s;" % (q2, q))
                self.emit("%s++;" % q2)
                self.emit("%s = %s - %s;" % (self.writable(ctx), q2, q))
            else:
                h = self.r.choice(targets)
                m = min(n, h.count)
                self.emit("%s = %s;" % (q2, h.base))
                self.emit("while (%s < %s + %d) *%s++ = *%s++;" % (q2, h.base, m, q2, q))
        self.close_block(ctx, saved)

    def string_regions(self, ctx):
        return [g for g in ctx.regions if g.string and g.elem == "char"]

    def string_source(self, ctx, most):
        """A pointer to a string of at most `most` characters: a string
        constant or a string region no longer than most + 1."""
        regions = [g for g in self.string_regions(ctx)
                   if g.whole and g.count <= most + 1]
        if regions and self.chance(0.6):
            g = self.r.choice(regions)
            return self.pointer_into(ctx, g, 1, 2)
        return self.string_constant(most)

    def string_statement(self, ctx):
        strings = self.string_regions(ctx)
        if not strings or not ctx.affordable(40 * 17):
            return self.walk(ctx)
        g = self.r.choice(strings)
        q = self.name("q")
        r_ = self.name("q")
        form = self.r.randint(0, 6)
        write = ctx.can_write_region(g) and g.whole
        if form >= 4 and not write:
            form = self.r.randint(0, 3)
        saved = self.open_block(ctx, 16, ["@char@ *%s" % q, "@char@ *%s" % r_])
        ctx.spend(20)
        if form == 0:
            # The length, with a pointer or an index.
            t = self.writable(ctx)
            self.emit("%s = %s;" % (q, self.pointer_into(ctx, g, 1, 2)))
            self.emit("%s = %s;" % (r_, q))
            if self.chance(0.5):
                self.emit("while (*%s) %s++;" % (q, q))
            else:
                self.emit("while (*%s != 0) ++%s;" % (q, q))
            self.emit("%s = %s - %s;" % (t, q, r_))
        elif form == 1:
            # Compare two strings.
            t = self.writable(ctx)
            self.emit("%s = %s;" % (q, self.pointer_into(ctx, g, 1, 2)))
            self.emit("%s = %s;" % (r_, self.string_source(ctx, 15)))
            self.emit("while (*%s != 0 && *%s == *%s) {" % (q, q, r_))
            self.emit("  %s++;" % q)
            self.emit("  %s++;" % r_)
            self.emit("}")
            self.emit("%s = *%s - *%s;" % (t, q, r_))
        elif form == 2:
            # Count the occurrences of a character.
            t = self.writable(ctx)
            self.emit("%s = 0;" % t if self.chance(0.5) else "%s++;" % t)
            self.emit("for (%s = %s; *%s; %s++) if (*%s == '%s') %s++;" % (
                q, self.pointer_into(ctx, g, 1, 2), q, q, q,
                self.r.choice("abcxyz o"), t))
        elif form == 3:
            # A hash of the characters, and where the string ends.
            t = self.writable(ctx)
            self.emit("%s = %s;" % (q, g.base))
            self.emit("%s = %s;" % (r_, q))
            self.emit("while (*%s) %s = %s * 33 ^ *%s++;" % (r_, t, t, r_))
            if not ctx.pure:
                self.emit('say("%%d %%d", %s, %s - %s);' % (t, r_, q))
        elif form == 4:
            # Copy a shorter string over this one.
            self.emit("%s = %s;" % (q, self.string_source(ctx, g.count - 1)))
            self.emit("%s = %s;" % (r_, g.base))
            if self.chance(0.5):
                self.emit("while ((*%s++ = *%s++) != 0) ;" % (r_, q))
            else:
                self.emit("while (*%s) {" % q)
                self.emit("  *%s = *%s;" % (r_, q))
                self.emit("  %s++;" % r_)
                self.emit("  %s++;" % q)
                self.emit("}")
                self.emit("*%s = 0;" % r_)
        elif form == 5:
            # Append as much of another string as fits.
            self.emit("%s = %s;" % (r_, g.base))
            self.emit("while (*%s) %s++;" % (r_, r_))
            self.emit("%s = %s;" % (q, self.string_source(ctx, 15)))
            self.emit("while (*%s && %s < %s + %d) *%s++ = *%s++;" % (
                q, r_, g.base, g.count - 1, r_, q))
            self.emit("*%s = 0;" % r_)
        else:
            # Change one character, or cut the string short.
            self.emit("%s = %s;" % (q, self.pointer_into(ctx, g, 2, 2)))
            if self.chance(0.3):
                self.emit("*%s = 0;" % q)
            else:
                self.emit("*%s = '%s' + ((%s) & 3);" % (q, self.r.choice("abx"),
                                                       self.expr(ctx, 2)))
        self.close_block(ctx, saved)

    def step(self, p, sign, by=1):
        """A statement-level move of pointer p by `by` elements, in one of
        the forms that compile differently (postfix, prefix, compound)."""
        if by != 1:
            return self.r.choice(["%s %s= %d" % (p, sign, by),
                                  "%s = %s %s %d" % (p, p, sign, by)])
        return self.r.choice(["%s" + sign * 2, sign * 2 + "%s", "%s " + sign + "= 1",
                              "%s = %s " + sign + " 1"]).replace("%s", p)

    def struct_walk(self, ctx):
        """A loop over an array of structures with a structure pointer."""
        regions = [g for g in self.regions(ctx, structs=True) if g.count > 1]
        if not regions:
            return self.walk(ctx)
        g = self.r.choice(regions)
        if not ctx.affordable(30 * (g.count + 1)):
            return self.assignment(ctx)
        q = self.name("q")
        n, base = g.count, g.base
        saved = self.open_block(ctx, n, ["struct %s *%s" % (g.elem.name, q)])
        ctx.spend(24)
        suf, t, c, s = self.r.choice(g.elem.leaves)
        member = "%s->%s" % (q, suf[1:])
        if c:
            member += "[%d]" % self.r.randint(0, c - 2 if s else c - 1)
        target = self.writable(ctx)
        write = ctx.can_write_region(g)
        body = ["%s += %s * (%s - %s);" % (target, member, q, base)]
        if write and self.chance(0.5):
            body.append("%s = %s;" % (member, self.expr(ctx, 2)))
        form = self.r.randint(0, 2)
        if form == 0:
            self.emit("for (%s = %s; %s < %s + %d; %s) {" % (
                q, base, q, base, n, self.step(q, "+")))
        elif form == 1:
            # Backwards, stepping before the body.
            self.emit("%s = %s + %d;" % (q, base, n))
            self.emit("while (%s > %s) {" % (q, base))
            self.emit("  %s;" % self.step(q, "-"))
            if self.chance(0.4):
                body.insert(0, "if (%s - %s == %d) continue;" % (q, base, self.r.randint(0, n - 1)))
        else:
            # Backwards from the last one, each taking a copy of the one
            # before it.
            self.emit("%s = %s + %d;" % (q, base, n - 1))
            self.emit("for (;;) {")
            if write and self.chance(0.6):
                body.append("if (%s != %s) *%s = %s;" % (
                    q, base, q, self.r.choice(["*(%s - 1)" % q, "%s[-1]" % q])))
            body.append("if (%s == %s) break;" % (q, base))
            body.append("%s;" % self.step(q, "-"))
        for line in body:
            self.emit("  " + line)
        self.emit("}")
        self.close_block(ctx, saved)

    # ------------------------------------------------------ declarations
    def init_struct(self, ctx, ref, struct, counter):
        for suf, t, c, s in struct.leaves:
            if s:
                self.fill_string(ref + suf, c, counter)
            elif c:
                self.emit("for (%s = 0; %s < %d; %s++) %s%s[%s] = %s * %d + %s;" % (
                    counter, counter, c, counter, ref, suf, counter, counter,
                    self.r.randint(1, 9), self.literal()))
            else:
                self.emit("%s%s = %s;" % (ref, suf, self.expr(ctx)))

    def fill_string(self, base, count, counter):
        """Sets a char array to a string constant, padded with zeros."""
        text = self.text(count - 1)
        self.cost_outside += 12 * count
        form = self.r.randint(0, 2)
        if form == 0:
            for k, ch in enumerate(text):
                self.emit("%s[%d] = '%s';" % (base, k, ch))
            rest = len(text)
        elif form == 1:
            self.emit("for (%s = 0; %s < %d; %s++) %s[%s] = @S@\"%s\"[%s];" % (
                counter, counter, len(text) + 1, counter, base, counter, text, counter))
            rest = len(text) + 1
        else:
            self.emit("for (%s = 0; %s < %d; %s++) %s[%s] = %s < %d ? @S@\"%s\"[%s] : 0;" % (
                counter, counter, count, counter, base, counter, counter, len(text),
                text, counter))
            rest = count
        if rest < count:
            self.emit("for (%s = %d; %s < %d; %s++) %s[%s] = 0;" % (
                counter, rest, counter, count, counter, base, counter))

    def struct_initializer(self, struct):
        """A braced initializer for a global, with members left out at the
        end (they start as zeros)."""
        parts = []
        members = struct.members
        for m, t, c, s in members[:self.r.randint(1, len(members))]:
            if isinstance(t, Struct):
                parts.append(self.struct_initializer(t))
            elif s:
                parts.append(self.string_constant(c - 1))
            elif c:
                limit = 255 if t == "byte" else 60000
                parts.append("{%s}" % ", ".join(str(self.r.randint(0, limit))
                                               for _ in range(self.r.randint(1, c))))
            else:
                parts.append(str(self.r.randint(0, 255 if t == "byte" else 60000)))
        return "{%s}" % ", ".join(parts)

    def new_pointer(self, ctx, owner, regions):
        """A pointer variable bound to one of the regions."""
        g = self.r.choice(regions)
        struct = g.elem if isinstance(g.elem, Struct) else None
        v = Var(self.name("p" if owner else "P"), "sptr" if struct else "ptr",
                struct=struct, elem=None if struct else g.elem, owner=owner)
        v.count = self.r.choice([w for w in (1, 2, 4, 8) if w <= g.count])
        v.region = g
        g.ptrs.append(v)
        return v

    def pointable(self, regions):
        """Regions a pointer variable may be bound to."""
        return [g for g in regions if not g.literal and g.elem != "short"]

    # ---------------------------------------------------------- functions
    def function(self, pure):
        name = self.name("f" if pure else "g")
        ctx = Ctx(name, pure, FUNC_BUDGET)
        params = []
        for _ in range(self.r.randint(1 if pure else 0, 3)):
            params.append(Var(self.name("p"), "int", owner=name))
        extra = []
        if self.chance(0.5):
            # A pointer parameter with a window of its own; a pure function
            # only reads through it.
            p = Var(self.name("p"), "ptr", owner=name)
            p.elem = self.r.choice(["int", "int", "char", "byte"])
            p.count = self.r.choice([1, 1, 2, 4, 8])
            if pure and p.elem == "char" and self.chance(0.5):
                # Points into a string, maybe a string constant: only the
                # first element is sure to be there.
                p.string = True
                p.count = 1
            extra.append(p)
        if self.structs and self.chance(0.4):
            p = Var(self.name("p"), "sptr", struct=self.r.choice(self.structs), owner=name)
            p.count = self.r.choice([1, 1, 2])
            extra.append(p)
        if not pure and self.chance(0.3):
            p = Var(self.name("p"), "ptr", elem="int", owner=name)
            p.count = 1  # a result written through the pointer
            extra.append(p)
        recursive = pure and self.chance(0.3)
        params = params + extra if recursive or self.chance(0.5) else extra + params
        if recursive and params[0].kind != "int":
            params.insert(0, Var(self.name("p"), "int", owner=name))
        f = Func(name, params, pure)
        for p in params:
            if p.kind in ("ptr", "sptr"):
                elem = p.struct if p.kind == "sptr" else p.elem
                # Owned by no one: a pure function must not write through it.
                p.region = Region(p.name, p.count, elem, "param " + name,
                                  string=p.string)
                p.region.whole = False
                p.region.ptrs.append(p)
                ctx.regions.append(p.region)
        self.emit("int %s(%s)" % (name, ", ".join(self.declare(p) for p in params)))
        self.emit("{")
        self.indent += 1
        locals_ = []
        pad = None
        if self.chance(0.25):
            # A big array declared first puts the other locals past frame
            # offset 127, where the wide forms of the instructions take over.
            pad = Var(self.name("big"), "array", self.r.choice([128, 256]),
                      elem=self.r.choice(["int", "char", "byte"]), owner=name)
        for _ in range(self.r.randint(1, 3)):
            locals_.append(Var(self.name("v"), self.r.choice(["int", "int", "char", "byte", "short"]),
                               owner=name))
        if locals_[0].kind != "int":
            locals_.insert(0, Var(self.name("v"), "int", owner=name))
        arr = Var(self.name("a"), "array", self.r.choice([2, 4, 8]),
                  elem=self.r.choice(["int", "int", "char", "byte"]), owner=name)
        locals_.append(arr)
        if self.chance(0.3):
            s = Var(self.name("str"), "array", self.r.choice([4, 8, 16]), elem="char", owner=name)
            s.string = True
            locals_.append(s)
        if self.structs and self.chance(0.3):
            st = self.r.choice(self.structs)
            if self.chance(0.5):
                locals_.append(Var(self.name("s"), "struct", struct=st, owner=name))
            else:
                locals_.append(Var(self.name("sa"), "sarray", self.r.choice([2, 4]),
                                   struct=st, owner=name))
        loops = [self.name("i") for _ in range(2)]
        if pad:
            self.emit(self.declare(pad) + ";")
        for v in locals_:
            self.emit(self.declare(v) + ";")
        if pad:
            locals_.append(pad)
        local_regions = {v.name: self.regions_of(v, name) for v in locals_}
        every_region = ctx.regions + self.global_regions + sum(local_regions.values(), [])
        ptrs = []
        for _ in range(self.r.choice([0, 0, 1, 1, 2])):
            candidates = self.pointable(every_region)
            if candidates:
                ptrs.append(self.new_pointer(ctx, name, candidates))
        for v in ptrs:
            self.emit(self.declare(v) + ";")
        self.emit("int %s;" % ", ".join(loops))
        # While the locals are set, only what is set already may be read,
        # also through pointers.
        ctx.scope = params + self.globals
        ctx.regions += self.global_regions
        counter = loops[0]
        for v in locals_:
            if v.kind == "array" and v.string:
                self.fill_string(v.name, v.count, counter)
            elif v.kind == "array":
                ctx.weight = v.count
                ctx.spend(10)
                self.emit("for (%s = 0; %s < %d; %s++) %s[%s] = %s;" % (
                    counter, counter, v.count, counter, v.name, counter,
                    self.expr(ctx)))
                ctx.weight = 1
            elif v.kind == "struct":
                self.init_struct(ctx, v.name, v.struct, counter)
            elif v.kind == "sarray":
                for k in range(v.count):
                    self.init_struct(ctx, "%s[%d]" % (v.name, k), v.struct, counter)
            else:
                self.emit("%s = %s;" % (v.name, self.expr(ctx)))
            if v.kind in SCALARS:
                ctx.scope.append(v)
            ctx.regions += local_regions[v.name]
        ctx.scope = params + locals_ + self.globals
        for v in ptrs:
            self.emit("%s = %s;" % (v.name, self.pointer_into(ctx, v.region, v.count)))
        ctx.scope += ptrs
        ctx.loops = loops
        if recursive:
            depth_param = params[0]
            self.emit("if (%s <= 0 || %s > %d) return %s;" % (
                depth_param.name, depth_param.name, RECURSION_LEVELS - 1,
                self.expr(ctx)))
            depth_param.readonly = True
        self.block_body(ctx, 1, 4 if pure else 6)
        if recursive:
            args = self.call_args(ctx, f, 1)
            args[0] = "%s - 1" % params[0].name
            self.emit("%s = %s + %s(%s);" % (
                locals_[0].name, locals_[0].name, name, ", ".join(args)))
        self.emit("return %s;" % self.expr(ctx))
        self.indent -= 1
        self.emit("}")
        self.emit("")
        for p in params:
            p.readonly = False
        f.cost = (ctx.cost + 20) * (RECURSION_LEVELS if recursive else 1)
        self.funcs.append(f)

    # ------------------------------------------------------------ program
    def global_var(self):
        kind = self.r.choice(["int", "int", "char", "byte", "short", "array",
                              "array", "string", "struct", "sarray"])
        if kind in ("struct", "sarray") and not self.structs:
            kind = "array"
        v = Var(self.name("G"), "array" if kind == "string" else kind)
        init = None
        if kind == "string":
            v.elem = "char"
            v.count = self.r.choice([4, 8, 16])
            v.string = True
            if self.chance(0.7):
                init = self.string_constant(v.count - 1)
        elif kind == "array":
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
                # Braced, with members and elements left out at the end:
                # they start as zeros.
                if kind == "struct":
                    init = self.struct_initializer(v.struct)
                else:
                    init = "{%s}" % ", ".join(
                        self.struct_initializer(v.struct)
                        for _ in range(self.r.randint(1, v.count)))
        elif self.chance(0.5):
            init = str(self.r.randint(0, 255 if kind == "byte" else 30000))
        self.globals.append(v)
        self.global_regions += self.regions_of(v, None)
        self.emit(self.declare(v) + (" = %s" % init if init else "") + ";")

    def program(self):
        self.emit("/* generated */")
        for _ in range(self.r.randint(0, 3)):
            self.make_struct()
        for _ in range(self.r.randint(1, 6)):
            self.global_var()
        gptrs = []
        for _ in range(self.r.choice([0, 1, 1, 2])):
            candidates = self.pointable(self.global_regions)
            if candidates:
                v = self.new_pointer(None, None, candidates)
                gptrs.append(v)
                self.emit(self.declare(v) + (" = 0" if self.chance(0.3) else "") + ";")
        self.emit("")
        # Global pointers are set at the start of main, before any function
        # that reads them runs.
        self.globals += gptrs
        for _ in range(self.r.randint(1, 4)):
            self.function(pure=True)
        for _ in range(self.r.randint(0, 3)):
            self.function(pure=False)
        for _ in range(self.r.randint(0, 2)):
            self.function(pure=True)
        # main
        ctx = Ctx("main", False, MAIN_BUDGET)
        self.emit("int main()")
        self.emit("{")
        self.indent += 1
        locals_ = [Var(self.name("v"), "int", owner="main") for _ in range(3)]
        loops = [self.name("i") for _ in range(3)]
        arrays = [Var(self.name("a"), "array", 8, elem="int", owner="main")]
        aggregates = []
        for s in self.structs:
            aggregates.append(Var(self.name("s"), "struct", struct=s, owner="main"))
        if self.structs and self.chance(0.5):
            aggregates.append(Var(self.name("sa"), "sarray", self.r.choice([2, 4]),
                                  struct=self.r.choice(self.structs), owner="main"))
        if self.chance(0.5):
            s = Var(self.name("str"), "array", self.r.choice([8, 16]), elem="char",
                    owner="main")
            s.string = True
            aggregates.append(s)
        if self.chance(0.3):
            big = Var(self.name("big"), "array", 256, elem="int", owner="main")
            self.emit(self.declare(big) + ";")
            arrays.append(big)
        self.emit("int %s;" % ", ".join(v.name for v in locals_ + [Var(i, "int") for i in loops]))
        for v in arrays[:1] + aggregates:
            self.emit(self.declare(v) + ";")
        local_regions = {v.name: self.regions_of(v, "main")
                         for v in locals_ + arrays + aggregates}
        ptrs = []
        for _ in range(self.r.choice([0, 1, 1, 2, 3])):
            candidates = self.pointable(self.global_regions +
                                        sum(local_regions.values(), []))
            if candidates:
                ptrs.append(self.new_pointer(ctx, "main", candidates))
        for v in ptrs:
            self.emit(self.declare(v) + ";")
        # The global pointers first: functions read through them.
        ctx.scope = []
        ctx.regions = list(self.global_regions)
        ctx.calls = False
        for v in gptrs:
            self.emit("%s = %s;" % (v.name, self.pointer_into(ctx, v.region, v.count)))
        ctx.calls = True
        ctx.scope = list(self.globals)
        for v in locals_:
            self.emit("%s = %s;" % (v.name, self.literal()))
            ctx.regions += local_regions[v.name]
        for a in arrays:
            self.emit("for (%s = 0; %s < %d; %s++) %s[%s] = %s * 3 + 1;" % (
                loops[0], loops[0], a.count, loops[0], a.name, loops[0], loops[0]))
            ctx.spend(12 * a.count)
            ctx.regions += local_regions[a.name]
        for v in aggregates:
            if v.kind == "struct":
                self.init_struct(ctx, v.name, v.struct, loops[0])
            elif v.kind == "sarray":
                for k in range(v.count):
                    self.init_struct(ctx, "%s[%d]" % (v.name, k), v.struct, loops[0])
            else:
                self.fill_string(v.name, v.count, loops[0])
            ctx.regions += local_regions[v.name]
        ctx.scope = locals_ + arrays + aggregates + self.globals
        for v in ptrs:
            self.emit("%s = %s;" % (v.name, self.pointer_into(ctx, v.region, v.count)))
        ctx.scope += ptrs
        ctx.loops = loops
        for _ in range(self.r.randint(4, 10)):
            self.statement(ctx, 0)
        # Checksums of everything at the end.
        check = locals_[0].name
        self.emit("%s = 0;" % check)
        for v in self.globals + arrays + aggregates + ptrs + locals_[1:]:
            if v.kind in SCALARS:
                self.emit('say("%s %%d", %s);' % (v.name, v.name))
                self.emit("%s = %s * 31 + %s;" % (check, check, v.name))
            elif v.kind == "array":
                self.emit("for (%s = 0; %s < %d; %s++) %s = %s * 31 + %s[%s];" % (
                    loops[0], loops[0], v.count, loops[0], check, check, v.name, loops[0]))
                ctx.spend(14 * v.count)
            elif v.kind in ("ptr", "sptr"):
                self.emit("%s = %s * 31 + (%s - %s);" % (check, check, v.name, v.region.base))
            else:
                n = v.count if v.kind == "sarray" else 1
                for k in range(n):
                    ref = "%s[%d]" % (v.name, k) if v.kind == "sarray" else v.name
                    for suf, t, c, s in v.struct.leaves:
                        if c:
                            for j in range(c):
                                self.emit("%s = %s * 31 + %s%s[%d];" % (check, check, ref, suf, j))
                        else:
                            self.emit("%s = %s * 31 + %s%s;" % (check, check, ref, suf))
        self.emit('say("checksum %%d", %s);' % check)
        self.emit("return %s & 127;" % check)
        self.indent -= 1
        self.emit("}")
        ctx.cost += self.cost_outside
        self.lines.insert(1, "/* about %d instructions */" % ctx.cost)
        return "\n".join(self.lines) + "\n"


def render(text, types):
    for k, v in types.items():
        text = text.replace("@%s@" % k, v)
    return text


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: generate.py SEED OUT_DIR")
    try:
        seed = int(sys.argv[1])
    except ValueError:
        sys.exit("generate.py: the seed must be an integer, not %r" % sys.argv[1])
    out = sys.argv[2]
    text = Generator(seed).program()
    try:
        with open(os.path.join(out, "prog.q"), "w") as f:
            f.write(render(text, TYPES_QXL))
        with open(os.path.join(out, "prog.c"), "w") as f:
            f.write(C_PRELUDE + render(text, TYPES_C))
    except OSError as e:
        sys.exit("generate.py: cannot write into %s: %s" % (out, e.strerror))


if __name__ == "__main__":
    main()

// The roots of a BCH error locator, found by splitting the polynomial with
// traces (Berlekamp's trace algorithm) instead of trying every bit position
// of the codeword (a Chien search): the work grows with m and the number of
// errors, not with the length of the step.
//
// A locator of L errors at codeword degrees d_k is sigma(x) = prod (1 + a^d_k x);
// its reverse f(x) = x^L sigma(1/x) = prod (x + a^d_k) is monic with the
// roots a^d_k. The errors can be corrected only when f is a product of L
// distinct linear factors over GF(2^m), which is so exactly when
// x^(2^m) = x mod f. Then for any b of the field, Tr(b x) = sum over i < m of
// (b x)^(2^i) takes the value 0 or 1 at each root, and gcd(f, Tr(b x) mod f)
// is the product of the factors whose root has trace 0. Two distinct roots
// differ in the trace of b r for some b of the basis 1, a, .., a^(m-1), so
// trying those m values of b always splits a factor of degree 2 or more.
#include "bch.h"

#include <algorithm>
#include <cstring>

namespace bch::detail {

namespace {

constexpr unsigned kTerms = kMaxT + 1;

// A polynomial over GF(2^m): c[i] is the coefficient of x^i; deg < 0 for 0.
struct Poly {
    int deg;
    unsigned c[kTerms];
};

// The logarithm of a coefficient, zeroLog() for 0 (Code::pow).
unsigned logOf(const Code &code, unsigned v)
{
    return v != 0 ? code.log[v] : code.zeroLog();
}

// The logarithms of a polynomial's coefficients.
void logsOf(const Code &code, const Poly &p, unsigned *logs)
{
    for (int j = 0; j <= p.deg; j++) {
        logs[j] = logOf(code, p.c[j]);
    }
}

// The bytes of n coefficients.
std::size_t bytes(int n)
{
    return static_cast<std::size_t>(n) * sizeof(unsigned);
}

int degreeOf(const unsigned *a, int deg)
{
    while (deg >= 0 && a[deg] == 0) {
        deg--;
    }
    return deg;
}

// a mod b in place, b not zero; returns the remainder's degree.
int remainder(const Code &code, unsigned *a, int da, const unsigned *b, int db)
{
    const unsigned inverseLead = code.n - code.log[b[db]];
    unsigned logb[kTerms];
    for (int j = 0; j < db; j++) {
        logb[j] = logOf(code, b[j]);
    }
    for (int i = da; i >= db; i--) {
        if (a[i] == 0) {
            continue;
        }
        unsigned q = code.log[a[i]] + inverseLead;
        q = q >= code.n ? q - code.n : q;
        unsigned *at = a + (i - db);
        for (int j = 0; j < db; j++) {
            at[j] ^= code.pow[q + logb[j]];
        }
        a[i] = 0;
    }
    return degreeOf(a, std::min(da, db - 1));
}

// The monic greatest common divisor of a and b (b not zero), into out.
void gcd(const Code &code, const Poly &a, const Poly &b, Poly *out)
{
    unsigned x[kTerms];
    unsigned y[kTerms];
    std::memcpy(x, a.c, bytes(a.deg + 1));
    std::memcpy(y, b.c, bytes(b.deg + 1));
    unsigned *u = x;
    unsigned *v = y;
    int du = a.deg;
    int dv = b.deg;
    while (dv >= 0) {
        du = remainder(code, u, du, v, dv);
        std::swap(u, v);
        std::swap(du, dv);
    }
    out->deg = du;
    const unsigned inverseLead = code.n - code.log[u[du]];
    for (int j = 0; j <= du; j++) {
        out->c[j] = u[j] != 0 ? code.pow[code.log[u[j]] + inverseLead] : 0;
    }
}

// f / g for a monic g that divides f.
void quotient(const Code &code, const Poly &f, const Poly &g, Poly *q)
{
    unsigned r[kTerms];
    std::memcpy(r, f.c, bytes(f.deg + 1));
    unsigned logg[kTerms];
    logsOf(code, g, logg);
    q->deg = f.deg - g.deg;
    for (int i = f.deg; i >= g.deg; i--) {
        const unsigned lead = r[i];
        q->c[i - g.deg] = lead;
        if (lead == 0) {
            continue;
        }
        const unsigned l = code.log[lead];
        for (int j = 0; j < g.deg; j++) {
            r[i - g.deg + j] ^= code.pow[l + logg[j]];
        }
    }
}

// frob[i] = x^(2^i) mod f for i = 0..count-1 (f of degree d >= 2), each of
// d coefficients, as logarithms (logOf). A square over GF(2^m) squares each
// coefficient and doubles each degree; the degrees 2j >= d are taken from a
// table of x^(2j) mod f. D is f's degree where it is known when compiled
// (the loops of the common small locators unrolled), else 0.
template <int D>
void frobenius(const Code &code, const Poly &f, unsigned (*frob)[kTerms], unsigned count)
{
    const int d = D > 0 ? D : f.deg;
    const int half = (d + 1) / 2;  // the first j with 2j >= d
    // logq[j - half][i]: the logarithm of coefficient i of x^(2j) mod f.
    unsigned logf[kTerms];
    logsOf(code, f, logf);
    unsigned logq[kTerms / 2 + 1][kTerms];
    unsigned r[kTerms];
    std::memcpy(r, f.c, bytes(d));  // x^d mod f: f less its leading term
    const auto timesX = [&] {
        const unsigned carry = r[d - 1];
        std::memmove(r + 1, r, bytes(d - 1));
        r[0] = 0;
        if (carry != 0) {
            const unsigned l = code.log[carry];
            for (int i = 0; i < d; i++) {
                r[i] ^= code.pow[l + logf[i]];
            }
        }
    };
    if (d % 2 != 0) {
        timesX();  // x^(d + 1)
    }
    for (int j = half; j < d; j++) {
        for (int i = 0; i < d; i++) {
            logq[j - half][i] = logOf(code, r[i]);
        }
        timesX();
        timesX();
    }
    const unsigned zero = code.zeroLog();
    for (int i = 0; i < d; i++) {
        frob[0][i] = i == 1 ? 0 : zero;  // x
    }
    for (unsigned k = 1; k < count; k++) {
        const unsigned *a = frob[k - 1];
        unsigned out[kTerms];
        std::memset(out, 0, bytes(d));
        for (int j = 0; j < half; j++) {
            // The square of a^l is a^(2l), or 0 from zeroLog.
            const unsigned l = a[j] == zero ? a[j] : 2 * a[j];
            out[static_cast<std::size_t>(2 * j)] = code.pow[l];
        }
        for (int j = half; j < d; j++) {
            if (a[j] == zero) {
                continue;
            }
            unsigned la = 2 * a[j];
            la = la >= code.n ? la - code.n : la;
            const unsigned *lq = logq[j - half];
            for (int i = 0; i < d; i++) {
                // NOLINTNEXTLINE(clang-analyzer-core.UndefinedBinaryOperatorResult): rows half..d-1 are set for every i < d
                out[i] ^= code.pow[la + lq[i]];
            }
        }
        for (int i = 0; i < d; i++) {
            frob[k][i] = logOf(code, out[i]);
        }
    }
}

void makeFrobenius(const Code &code, const Poly &f, unsigned (*frob)[kTerms], unsigned count)
{
    switch (f.deg) {
    case 5:
        return frobenius<5>(code, f, frob, count);
    case 6:
        return frobenius<6>(code, f, frob, count);
    case 7:
        return frobenius<7>(code, f, frob, count);
    case 8:
        return frobenius<8>(code, f, frob, count);
    default:
        return frobenius<0>(code, f, frob, count);
    }
}

// Splits g (degree 2 or more, a product of distinct linear factors that
// divides the locator f) into two factors with the trace of a^k, k = *first
// .., m - 1; false if none splits it. logs holds x^(2^i) mod f, each of fDeg
// coefficients: as g divides f, the trace taken modulo f and then modulo g is
// the trace modulo g, so that the powers of x are made once for the whole
// locator. The factors are split by the traces after the one that split g:
// every trace before it has one value at all their roots. *first becomes that
// next trace.
bool split(const Code &code, const Poly &g, int fDeg, const unsigned (*logs)[kTerms], unsigned *first, Poly *a,
           Poly *b)
{
    const unsigned m = code.p.m;
    for (unsigned k = *first; k < m; k++) {
        // Tr(a^k x) mod f = sum over i of a^(k 2^i) x^(2^i) mod f.
        Poly trace;
        std::memset(trace.c, 0, bytes(fDeg));
        unsigned e = k;
        for (unsigned i = 0; i < m; i++) {
            for (int j = 0; j < fDeg; j++) {
                trace.c[j] ^= code.pow[e + logs[i][j]];
            }
            e = 2 * e >= code.n ? 2 * e - code.n : 2 * e;
        }
        trace.deg = degreeOf(trace.c, fDeg - 1);
        if (fDeg > g.deg && trace.deg >= g.deg) {
            trace.deg = remainder(code, trace.c, trace.deg, g.c, g.deg);
        }
        if (trace.deg <= 0) {
            continue;  // a constant: every root has the same trace
        }
        gcd(code, g, trace, a);
        if (a->deg > 0 && a->deg < g.deg) {
            quotient(code, g, *a, b);
            *first = k + 1;
            return true;
        }
    }
    return false;
}

// The roots of x^2 + b x + c, c not 0, into roots; false unless they are two
// distinct elements. With x = b y: y^2 + y = c / b^2, solved as Code::quadratic
// says.
bool quadraticRoots(const Code &code, unsigned b, unsigned c, unsigned *roots)
{
    if (b == 0) {
        return false;  // a double root
    }
    const unsigned n = code.n;
    const unsigned lb = code.log[b];
    const unsigned k = code.pow[(code.log[c] + 2 * (n - lb)) % n];
    unsigned y = 0;
    for (unsigned p = 0; p < code.p.m; p++) {
        y ^= code.quadratic[p] & (0u - (k >> p & 1u));
    }
    const unsigned square = y != 0 ? code.pow[std::size_t{2} * code.log[y]] : 0;
    if ((square ^ y) != k) {
        return false;  // k has trace 1: no root in the field
    }
    roots[0] = code.pow[code.log[y] + lb];  // y is neither 0 nor 1, as k is not 0
    roots[1] = code.pow[code.log[y ^ 1u] + lb];
    return true;
}

unsigned times(const Code &code, unsigned a, unsigned b)
{
    return a != 0 && b != 0 ? code.pow[code.log[a] + code.log[b]] : 0;
}

unsigned over(const Code &code, unsigned a, unsigned b)  // a / b, b not 0
{
    return a != 0 ? code.pow[code.log[a] + code.n - code.log[b]] : 0;
}

// The square root: a^(2^(m-1)), half the logarithm modulo the odd n.
unsigned root(const Code &code, unsigned a)
{
    if (a == 0) {
        return 0;
    }
    const unsigned l = code.log[a];
    return code.pow[(l % 2 == 0 ? l : l + code.n) / 2];
}

unsigned evaluate(const Code &code, const Poly &f, unsigned x)
{
    unsigned v = 0;
    for (int i = f.deg; i >= 0; i--) {
        v = times(code, v, x) ^ f.c[i];
    }
    return v;
}

// The solutions z of z^4 + b z^2 + a z = k, a map linear over GF(2), by
// elimination on the images of the bits of z (bit p is a^p); returns their
// count (at most 4), into roots. The images met so far are kept as a reduced
// basis: each basis image has a bit of its own (its highest) that no other
// has, so that whether an image takes a basis image is read from its own
// bits before any is added, with no branch on the data.
int affineRoots(const Code &code, unsigned b, unsigned a, unsigned k, unsigned *roots)
{
    const unsigned m = code.p.m;
    const unsigned lb = logOf(code, b);
    const unsigned la = logOf(code, a);
    unsigned image[kMaxM];  // the basis, the z that gives each, and its own bit
    unsigned from[kMaxM];
    unsigned own[kMaxM];
    unsigned count = 0;
    unsigned kernel[kMaxM];
    unsigned kernelCount = 0;
    const auto taken = [](unsigned v, unsigned bit) { return (v & bit) != 0 ? ~0u : 0u; };
    for (unsigned p = 0; p < m; p++) {
        const unsigned first = code.pow[std::size_t{4} * p] ^ code.pow[lb + 2 * p] ^ code.pow[la + p];  // 4p < n
        unsigned v = first;
        unsigned x = 1u << p;
        for (unsigned j = 0; j < count; j++) {
            const unsigned take = taken(first, own[j]);
            v ^= image[j] & take;
            x ^= from[j] & take;
        }
        if (v == 0) {
            kernel[kernelCount++] = x;  // maps to 0
            continue;
        }
        const unsigned top = 1u << (31u - static_cast<unsigned>(__builtin_clz(v)));
        for (unsigned j = 0; j < count; j++) {
            const unsigned take = taken(image[j], top);
            image[j] ^= v & take;
            from[j] ^= x & take;
        }
        image[count] = v;
        from[count] = x;
        own[count] = top;
        count++;
    }
    unsigned z = 0;
    unsigned rest = k;
    for (unsigned j = 0; j < count; j++) {
        const unsigned take = taken(k, own[j]);
        rest ^= image[j] & take;
        z ^= from[j] & take;
    }
    if (rest != 0) {
        return 0;  // k is no image
    }
    if (kernelCount > 2) {
        return -1;  // not reached for a map of degree 4
    }
    const unsigned solutions = 1u << kernelCount;
    for (unsigned i = 0; i < solutions; i++) {
        roots[i] = z ^ ((i & 1u) != 0 ? kernel[0] : 0u) ^ ((i & 2u) != 0 ? kernel[1] : 0u);
    }
    return static_cast<int>(solutions);
}

// The roots of f of degree 3 or 4 (f(0) not 0) into roots, as roots of
// affine polynomials: false unless f has deg f distinct roots.
//   degree 3: f(x) (x + f_2) has no x^3 term;
//   degree 4 with f_3 = 0: affine as it is;
//   else x = y + e with f_3 e^2 = f_1 clears the y term, and y = 1/z turns
//   y^4 + f_3 y^3 + B y^2 + D (D = f(e)) into z^4 + (B/D) z^2 + (f_3/D) z + 1/D.
//   With roots r_i, f_3 e^2 = f_1 at e = r_1 reads (r_1 + r_2)(r_1 + r_3)
//   (r_1 + r_4) = 0: D is 0 only where a root repeats.
bool smallRoots(const Code &code, const Poly &f, unsigned *roots)
{
    unsigned candidates[4];
    int count = 0;
    unsigned shift = 0;
    bool inverted = false;
    if (f.deg == 3) {
        const unsigned a2 = f.c[2];
        count = affineRoots(code, f.c[1] ^ times(code, a2, a2), f.c[0] ^ times(code, f.c[1], a2),
                            times(code, f.c[0], a2), candidates);
    } else if (f.c[3] == 0) {
        count = affineRoots(code, f.c[2], f.c[1], f.c[0], candidates);
    } else {
        const unsigned a = f.c[3];
        shift = root(code, over(code, f.c[1], a));
        const unsigned d = evaluate(code, f, shift);
        if (d == 0) {
            // f(e) = 0 means (e + r1)(e + r2)(e + r3) = 0 for the other
            // roots: a repeated root.
            return false;
        }
        const unsigned bb = times(code, a, shift) ^ f.c[2];
        count = affineRoots(code, over(code, bb, d), over(code, a, d), over(code, 1, d), candidates);
        inverted = true;
    }
    int found = 0;
    for (int i = 0; i < count; i++) {
        unsigned x = candidates[i];
        if (inverted) {
            if (x == 0) {
                continue;
            }
            x = over(code, 1, x) ^ shift;
        }
        if (x != 0 && evaluate(code, f, x) == 0) {
            if (found == f.deg) {
                return false;
            }
            roots[found++] = x;
        }
    }
    return found == f.deg;
}

}  // namespace

int locatorRoots(const Code &code, const unsigned *sigma, unsigned length, unsigned nbits, unsigned *degrees)
{
    Poly pending[kMaxT];
    unsigned first[kMaxT];  // the first trace to split each pending factor with
    Poly &f = pending[0];
    f.deg = static_cast<int>(length);
    for (unsigned i = 0; i <= length; i++) {
        f.c[i] = sigma[length - i];
    }
    first[0] = 0;
    if (f.c[0] == 0) {
        return -1;  // a root 0: sigma is of lower degree than its length
    }
    unsigned count = 0;
    // x^(2^i) mod f, made once f is known to need splitting.
    unsigned frob[kMaxM + 1][kTerms];
    bool whole = true;
    for (unsigned top = 1; top > 0;) {
        Poly g;
        top--;
        unsigned k = first[top];
        g.deg = pending[top].deg;
        std::memcpy(g.c, pending[top].c, bytes(g.deg + 1));
        unsigned roots[4] = {g.c[0], 0, 0, 0};
        if (g.deg <= 4) {
            if (g.deg == 2 && !quadraticRoots(code, g.c[1], g.c[0], roots)) {
                return -1;
            }
            if (g.deg > 2 && !smallRoots(code, g, roots)) {
                return -1;
            }
            for (int r = 0; r < g.deg; r++) {
                const unsigned d = code.log[roots[r]];
                if (d >= nbits) {
                    return -1;  // an error past the end of the codeword
                }
                degrees[count++] = d;
            }
            continue;
        }
        if (whole) {
            makeFrobenius(code, g, frob, code.p.m + 1);
            // x^(2^m) = x mod f: f splits into distinct linear factors.
            for (int j = 0; j < g.deg; j++) {
                if (frob[code.p.m][j] != frob[0][j]) {
                    return -1;
                }
            }
            whole = false;
        }
        if (!split(code, g, static_cast<int>(length), frob, &k, &pending[top], &pending[top + 1])) {
            return -1;
        }
        first[top] = first[top + 1] = k;
        top += 2;
    }
    return static_cast<int>(count);
}

}  // namespace bch::detail

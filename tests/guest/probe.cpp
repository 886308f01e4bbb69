// A small guest of the harness's own, to show the stand-in's behaviour
// without depending on the runtime.
typedef __builtin_va_list va_list;
typedef unsigned long long u64;

extern "C" {

// Gives the probe a writable data segment like any real program.
int probe_counter = 1;

int probe_gate3(int nr, unsigned a, unsigned b, unsigned c)
{
    int ret;
    unsigned rb = a, rc = b, rd = c;
    asm volatile("int $0x80" : "=a"(ret), "+b"(rb), "+c"(rc), "+d"(rd) : "a"(nr) : "memory");
    return ret;
}

void _exit(int status)
{
    probe_gate3(2, status, 0, 0);
    for (;;)
        asm volatile("hlt");
}

int probe_sum(int n, ...)
{
    va_list ap;
    __builtin_va_start(ap, n);
    int s = 0;
    for (int i = 0; i < n; i++)
        s += __builtin_va_arg(ap, int);
    __builtin_va_end(ap);
    return s;
}

u64 probe_sum64(int n, ...)
{
    va_list ap;
    __builtin_va_start(ap, n);
    u64 s = 0;
    for (int i = 0; i < n; i++)
        s += __builtin_va_arg(ap, u64);
    __builtin_va_end(ap);
    return s;
}

// n / d in the x87's full precision, after a double-to-int conversion has
// made the compiler reload the control word.
long double probe_divide(int n, int d, double *probe)
{
    volatile int truncated = (int)*probe;
    (void)truncated;
    volatile long double a = n, b = d;
    return a / b;
}

u64 probe_rdtsc()
{
    unsigned lo, hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    return (u64(hi) << 32) | lo;
}

__attribute__((noinline)) int probe_target() { return 7; }

// Writes a byte of the image's own code back unchanged.
int probe_poke_text()
{
    volatile unsigned char *p = (volatile unsigned char *)&probe_target;
    *p = *p;
    return 1;
}

int probe_read(const volatile int *p) { return *p + probe_counter - 1; }

// A constant of the image's read-only segment.
extern const int probe_constant;
const int probe_constant = 5;

void probe_write(volatile int *p, int v) { *p = v; }

// Calls whatever lies at addr as code.
int probe_call(unsigned addr) { return ((int (*)())addr)(); }

void probe_spin()
{
    for (;;)
        asm volatile("");
}

int probe_divzero(int a, int b) { return a / b; }

static unsigned length(const char *s)
{
    unsigned n = 0;
    while (s[n])
        n++;
    return n;
}

// Echoes its arguments, one per line, and exits with their count; the
// entry stack and main's alignment are what is under test.
int main(int argc, char **argv)
{
    unsigned align = ((unsigned)__builtin_frame_address(0) + 8) & 15;
    for (int i = 0; i < argc; i++) {
        probe_gate3(1, 1, (unsigned)argv[i], length(argv[i]));
        probe_gate3(1, 1, (unsigned)"\n", 1);
    }
    if (argv[argc] != 0)
        return 100;
    return align == 0 ? argc : 101;
}

}

/* The floor for the CSV sink: per call, test whether the file needs a
 * header, open it for appending, write one line, close it.
 *
 *   csv_floor PATH CALLS REPEATS
 *
 * Prints one line per repetition: the mean time per call in seconds over
 * CALLS calls (the harness takes the median across repetitions). */
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static int append_line(const char* path, double mean, double se) {
    struct stat st;
    int header = stat(path, &st) != 0 || st.st_size == 0;
    FILE* f = fopen(path, "a");
    if (f == NULL) {
        return -1;
    }
    if (header) {
        fputs("mean,se\n", f);
    }
    fprintf(f, "%.17g,%.17g\n", mean, se);
    return fclose(f);
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s PATH CALLS REPEATS\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    long calls = atol(argv[2]);
    long repeats = atol(argv[3]);
    for (long r = 0; r < repeats; ++r) {
        double start = now();
        for (long i = 0; i < calls; ++i) {
            if (append_line(path, 7.0 + (double)i * 1e-3, 0.01) != 0) {
                perror(path);
                return 1;
            }
        }
        printf("%.9g\n", (now() - start) / (double)calls);
    }
    return 0;
}

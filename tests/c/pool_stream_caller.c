/* A C caller of the parts of the core that rest on the C++ runtime: zv_panel
 * split among threads (the library's thread pool) and a stream.  Linked
 * through every documented route, static ones included, it proves each route
 * brings that runtime along.  Prints two lines; exits 0. */
#include <stdio.h>

#include "rillet.h"

enum { LANES = 4, BARS = 6 };

int main(void) {
    num_t x[LANES][BARS], r[LANES][BARS];
    for (int k = 0; k < LANES; ++k)
        for (int i = 0; i < BARS; ++i) x[k][i] = 10 * k + i;
    zv_lanes in = {&x[0][0], BARS, 1};
    int n = 3;
    zv_panel_test_setup(-2, 1); /* split even this small panel among the threads */
    int rc = zv_panel("MA", LANES, BARS, &in, &n, &r[0][0], BARS, 1, 3);
    printf("panel rc=%d ma=%g %g %g\n", rc, r[0][5], r[1][5], r[3][2]);

    const num_t history[3] = {1, 2, 3};
    const num_t *series[1] = {history};
    num_t opened[3], peeked, updated, copied, bar = 4;
    zv_stream *s = NULL, *copy = NULL;
    rc = zv_stream_open(&s, "MA", &n, 1, 0, series, 3, opened);
    if (rc == ERR_OK) rc = zv_stream_peek(s, &bar, &peeked);
    if (rc == ERR_OK) rc = zv_stream_update(s, &bar, &updated);
    if (rc == ERR_OK) rc = zv_stream_copy(s, &copy);
    bar = 5;
    if (rc == ERR_OK) rc = zv_stream_update(copy, &bar, &copied);
    if (rc == ERR_OK)
        printf("stream rc=%d open=%g peek=%g update=%g copy=%g bars=%d\n", rc, opened[2], peeked,
               updated, copied, (int)zv_stream_bars(copy));
    zv_stream_close(s);
    zv_stream_close(copy);
    return rc;
}

/* A C caller of the core: proves the public header compiles as C and the
 * library links and computes from C. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "rillet.h"

int main(void) {
    num_t x[6] = {NAN, 1.0, 2.0, 3.0, 4.0, 5.0};
    num_t r[6];
    pcalc_ctx_t ctx = 0;
    int rc = zv_ma(ctx, x, 6, 3, r, 6);
    printf("rc=%d\n", rc);
    aprint("ma", r, 6);
    num_t *steps = arange(0, 10, 2.5);
    if (steps == NULL) return 1;
    aprint("steps", steps, 4);
    free(steps);
    rc = zv_ma(ctx, x, 6, 0, r, 6);
    printf("bad=%d %d %d\n", rc, ERR_PARAM_WRONG, ERR_SIZE_DISMATCH == zv_ma(ctx, x, 6, 3, r, 5));
    return ERR_OK;
}

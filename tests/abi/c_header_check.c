/* The public header must compile as C and link against the shared engine. */
#include "tmlib/tmlib.h"

#include <stdio.h>

int main(void) {
  float param[TMLIB_TMPARAM_SLOTS];
  DimParam dim;
  OptimParam opt;
  tmparam_default(TMLIB_METHOD_DETAILS, 0, param);
  init_dim_param(&dim);
  init_optim_param(&opt);
  if (param[1] != 70.0f || dim.v[2] != 3 || opt.v[0] != 0 || sizeof opt.v[2] != sizeof(void *)) {
    fprintf(stderr, "unexpected defaults through the C header\n");
    return 1;
  }
  GlobalCntAdjust = 0;
  return 0;
}

/* The public header used from C: build each shape, strike it, step it, free it. */
#include <stdio.h>
#include <stdlib.h>

#include "cw_metal_obj.h"

static int check(MetalObj *obj, const char *name, int struck, int sampled)
{
    double before, after;
    int i;
    if (obj == NULL) {
        fprintf(stderr, "%s: builder returned null\n", name);
        return 1;
    }
    before = obj->nodes[sampled]->x;
    obj->nodes[struck]->x += 1.0;
    for (i = 0; i < 1000; i++)
        cw_metal_obj_perturb(obj, 0.2, 0.999);
    after = obj->nodes[sampled]->x;
    cw_metal_obj_free(obj);
    if (after == before) {
        fprintf(stderr, "%s: sampled node never moved\n", name);
        return 1;
    }
    printf("%s: ok\n", name);
    return 0;
}

int main(void)
{
    int failures = 0;
    failures += check(cw_metal_obj_new_rod(5, 4.0), "rod", 1, 3);
    failures += check(cw_metal_obj_new_tube(10, 5, 4.0), "tube", 7, 40);
    failures += check(cw_metal_obj_new_plane(7, 9, 4.0), "plane", 1, 61);
    cw_metal_obj_free(NULL);
    return failures ? EXIT_FAILURE : EXIT_SUCCESS;
}

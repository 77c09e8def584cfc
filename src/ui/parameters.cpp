// Parameter handlers: instrument fields, node ranges, preview object.
#include "parameters.h"

#include "window_state.h"

void render_object()
{
    cw_metal_obj_free(preview_object);
    preview_object = nullptr;
    switch (instrument.type) {
    case TYPE_TUBE:
        preview_object = cw_metal_obj_new_tube(instrument.tube_height,
                                               instrument.tube_circumference, instrument.tension);
        break;
    case TYPE_ROD:
        preview_object = cw_metal_obj_new_rod(instrument.rod_length, instrument.tension);
        break;
    case TYPE_PLANE:
        preview_object = cw_metal_obj_new_plane(instrument.plane_length, instrument.plane_width,
                                                instrument.tension);
        break;
    default:
        g_assert_not_reached();
    }
    if (view_area)
        gtk_widget_queue_draw(view_area);
}

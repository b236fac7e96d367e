// Times a window program's start as a user sees it: from exec to the first frame on screen.
//
//   start_probe SETTLE_S -- PROGRAM [ARGS...]
//
// Runs PROGRAM on $DISPLAY (with a window manager that keeps _NET_CLIENT_LIST), waits until
// its window shows white at two thirds of its width and half its height (the blank preview
// pane), then waits SETTLE_S seconds and reads the process's resident memory. Prints
// "painted_ms RSS_kB" and ends the program by its pid. The root window is made magenta first,
// so a window that is mapped but not yet drawn never reads as white.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <xcb/xcb.h>

static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static xcb_atom_t atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r =
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, (uint16_t)strlen(name), name), NULL);
  xcb_atom_t a = r ? r->atom : XCB_ATOM_NONE;
  free(r);
  return a;
}

// The first value of a CARDINAL/WINDOW property, or 0.
static uint32_t card_prop(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type) {
  xcb_get_property_reply_t* r =
      xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, type, 0, 1), NULL);
  uint32_t v = 0;
  if (r && xcb_get_property_value_length(r) >= 4) v = *(uint32_t*)xcb_get_property_value(r);
  free(r);
  return v;
}

// The client window of process `pid` in the window manager's list, or 0.
static xcb_window_t find_client(xcb_connection_t* c, xcb_window_t root, xcb_atom_t list_atom,
                                xcb_atom_t pid_atom, pid_t pid) {
  xcb_get_property_reply_t* r = xcb_get_property_reply(
      c, xcb_get_property(c, 0, root, list_atom, XCB_ATOM_WINDOW, 0, 1024), NULL);
  xcb_window_t found = 0;
  if (r) {
    int n = xcb_get_property_value_length(r) / 4;
    xcb_window_t* ws = xcb_get_property_value(r);
    for (int i = 0; i < n && !found; ++i) {
      if (card_prop(c, ws[i], pid_atom, XCB_ATOM_CARDINAL) == (uint32_t)pid) found = ws[i];
    }
  }
  free(r);
  return found;
}

// True when the client window shows white at its probe point.
static int painted(xcb_connection_t* c, xcb_window_t root, xcb_window_t w) {
  xcb_get_geometry_reply_t* g = xcb_get_geometry_reply(c, xcb_get_geometry(c, w), NULL);
  if (!g) return 0;
  int px = g->width * 2 / 3, py = g->height / 2;
  free(g);
  xcb_translate_coordinates_reply_t* t =
      xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, w, root, px, py), NULL);
  if (!t) return 0;
  int rx = t->dst_x, ry = t->dst_y;
  free(t);
  xcb_get_image_reply_t* img = xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, root, (int16_t)rx, (int16_t)ry, 1, 1, ~0u), NULL);
  if (!img) return 0;
  uint32_t pixel = 0;
  if (xcb_get_image_data_length(img) >= 4) memcpy(&pixel, xcb_get_image_data(img), 4);
  free(img);
  return (pixel & 0xffffff) == 0xffffff;
}

static long rss_kb(pid_t pid) {
  char path[64], line[256];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE* f = fopen(path, "r");
  long kb = -1;
  if (!f) return kb;
  while (fgets(line, sizeof line, f)) {
    if (sscanf(line, "VmRSS: %ld", &kb) == 1) break;
  }
  fclose(f);
  return kb;
}

int main(int argc, char** argv) {
  if (argc < 4 || strcmp(argv[2], "--") != 0) {
    fprintf(stderr, "usage: %s SETTLE_S -- PROGRAM [ARGS...]\n", argv[0]);
    return 2;
  }
  const double settle = atof(argv[1]);
  xcb_connection_t* c = xcb_connect(NULL, NULL);
  if (xcb_connection_has_error(c)) {
    fprintf(stderr, "start_probe: cannot open the display\n");
    return 2;
  }
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  uint32_t magenta = 0xff00ff;
  xcb_change_window_attributes(c, root, XCB_CW_BACK_PIXEL, &magenta);
  xcb_clear_area(c, 0, root, 0, 0, 0, 0);
  xcb_atom_t list_atom = atom(c, "_NET_CLIENT_LIST"), pid_atom = atom(c, "_NET_WM_PID");
  xcb_flush(c);

  const double start = now_ms();
  pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  if (pid < 0) return 2;

  const double deadline = start + 30000;
  xcb_window_t w = 0;
  double painted_at = -1;
  int status = 0;
  while (now_ms() < deadline) {
    if (waitpid(pid, &status, WNOHANG) == pid) {
      fprintf(stderr, "start_probe: the program ended before it was drawn\n");
      return 1;
    }
    if (!w) w = find_client(c, root, list_atom, pid_atom, pid);
    if (w && painted(c, root, w)) {
      painted_at = now_ms();
      break;
    }
    usleep(1000);
  }
  int rc = 0;
  if (painted_at < 0) {
    fprintf(stderr, "start_probe: no painted window within 30 s\n");
    rc = 1;
  } else {
    usleep((useconds_t)(settle * 1e6));
    printf("%.1f %ld\n", painted_at - start, rss_kb(pid));
  }
  kill(pid, SIGTERM);
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) != pid; ++i) usleep(20000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  xcb_disconnect(c);
  return rc;
}

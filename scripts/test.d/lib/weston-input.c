/* A Weston module for the desktop suite: a seat with a keyboard and a
 * pointer whose input comes from lines written to a FIFO, as a person's
 * would from real devices. Weston's headless backend has no seat of its own.
 *
 *   weston --backend=headless-backend.so --modules=/path/weston-input.so
 *   with TAVRIN_WESTON_INPUT=/path/fifo in its environment (the FIFO exists)
 *
 * Lines: "key C1+C2+..." presses the evdev key codes in order and releases
 * them in reverse 80 ms later (a chord such as Alt+F is "key 56+33"); "click X Y" moves
 * the pointer to X, Y of the output and clicks the left button.
 */
#define _GNU_SOURCE
#include <libweston/libweston.h>
#include <weston/weston.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* Exported by libweston but declared only in its private headers. */
void weston_seat_init(struct weston_seat *seat, struct weston_compositor *ec, const char *seat_name);
int weston_seat_init_keyboard(struct weston_seat *seat, struct xkb_keymap *keymap);
void weston_seat_init_pointer(struct weston_seat *seat);
void weston_seat_release(struct weston_seat *seat);
void notify_key(struct weston_seat *seat, const struct timespec *time, uint32_t key,
		enum wl_keyboard_key_state state, enum weston_key_state_update update_state);
void notify_motion_absolute(struct weston_seat *seat, const struct timespec *time, double x, double y);
void notify_button(struct weston_seat *seat, const struct timespec *time, int32_t button,
		   enum wl_pointer_button_state state);
void notify_pointer_frame(struct weston_seat *seat);

#define BTN_LEFT 0x110
#define MAX_CHORD 8
#define KEY_HOLD_MS 80

struct input {
	struct weston_compositor *compositor;
	struct weston_seat seat;
	struct wl_event_source *source;
	struct wl_event_source *release;
	uint32_t keys[MAX_CHORD];
	int held;
	struct wl_listener destroy;
	int fd;
	char line[256];
	size_t used;
};

/* Releases what the last chord pressed, in reverse order. */
static int release_chord(void *data)
{
	struct input *in = data;
	struct timespec now;

	while (in->held > 0) {
		weston_compositor_get_time(&now);
		notify_key(&in->seat, &now, in->keys[--in->held], WL_KEYBOARD_KEY_STATE_RELEASED,
			   STATE_UPDATE_AUTOMATIC);
	}
	return 0;
}

/* Presses the keys in order and lets go of them a moment later, as fingers
 * do: a program that opens a popup on the press asks for it with the press's
 * serial, which must still be the seat's latest. */
static void key_chord(struct input *in, const char *codes)
{
	struct timespec now;
	char *end;

	release_chord(in);
	while (in->held < MAX_CHORD && *codes) {
		uint32_t key = (uint32_t)strtoul(codes, &end, 10);
		if (end == codes)
			break;
		weston_compositor_get_time(&now);
		notify_key(&in->seat, &now, key, WL_KEYBOARD_KEY_STATE_PRESSED, STATE_UPDATE_AUTOMATIC);
		in->keys[in->held++] = key;
		if (*end != '+')
			break;
		codes = end + 1;
	}
	wl_event_source_timer_update(in->release, KEY_HOLD_MS);
}

static void click(struct input *in, double x, double y)
{
	struct timespec now;

	weston_compositor_get_time(&now);
	notify_motion_absolute(&in->seat, &now, x, y);
	notify_pointer_frame(&in->seat);
	notify_button(&in->seat, &now, BTN_LEFT, WL_POINTER_BUTTON_STATE_PRESSED);
	notify_pointer_frame(&in->seat);
	weston_compositor_get_time(&now);
	notify_button(&in->seat, &now, BTN_LEFT, WL_POINTER_BUTTON_STATE_RELEASED);
	notify_pointer_frame(&in->seat);
}

static void run_line(struct input *in, const char *line)
{
	double x, y;

	if (strncmp(line, "key ", 4) == 0)
		key_chord(in, line + 4);

	else if (sscanf(line, "click %lf %lf", &x, &y) == 2)
		click(in, x, y);
	else
		weston_log("weston-input: not understood: %s\n", line);
}

static int on_readable(int fd, uint32_t mask, void *data)
{
	struct input *in = data;
	char *newline;
	ssize_t got;

	(void)mask;
	got = read(fd, in->line + in->used, sizeof in->line - 1 - in->used);
	if (got <= 0)
		return 0;
	in->used += (size_t)got;
	in->line[in->used] = '\0';
	while ((newline = strchr(in->line, '\n')) != NULL) {
		*newline = '\0';
		run_line(in, in->line);
		in->used -= (size_t)(newline + 1 - in->line);
		memmove(in->line, newline + 1, in->used + 1);
	}
	if (in->used == sizeof in->line - 1)
		in->used = 0; /* a line too long for anything we read: dropped */
	return 0;
}

static void on_destroy(struct wl_listener *listener, void *data)
{
	struct input *in = wl_container_of(listener, in, destroy);

	(void)data;
	wl_event_source_remove(in->source);
	wl_event_source_remove(in->release);
	close(in->fd);
	weston_seat_release(&in->seat);
	free(in);
}

WL_EXPORT int wet_module_init(struct weston_compositor *compositor, int *argc, char *argv[])
{
	const char *path = getenv("TAVRIN_WESTON_INPUT");
	struct input *in;

	(void)argc;
	(void)argv;
	if (path == NULL) {
		weston_log("weston-input: TAVRIN_WESTON_INPUT names no FIFO\n");
		return -1;
	}
	in = calloc(1, sizeof *in);
	if (in == NULL)
		return -1;
	/* Read and write: the FIFO never reads as ended between writers. */
	in->fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (in->fd < 0) {
		weston_log("weston-input: %s: %s\n", path, strerror(errno));
		free(in);
		return -1;
	}
	in->compositor = compositor;
	weston_seat_init(&in->seat, compositor, "tavrin-test");
	weston_seat_init_pointer(&in->seat);
	if (weston_seat_init_keyboard(&in->seat, NULL) < 0) {
		weston_seat_release(&in->seat);
		close(in->fd);
		free(in);
		return -1;
	}
	in->source = wl_event_loop_add_fd(wl_display_get_event_loop(compositor->wl_display), in->fd,
					  WL_EVENT_READABLE, on_readable, in);
	in->release = wl_event_loop_add_timer(wl_display_get_event_loop(compositor->wl_display), release_chord, in);
	weston_compositor_add_destroy_listener_once(compositor, &in->destroy, on_destroy);
	return 0;
}

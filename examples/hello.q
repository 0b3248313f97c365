/*
 * hello.q: everyday editing helpers, written as a QXL extension for the
 * Quillet editor.
 *
 * What it adds:
 *
 *      Alt-h, C-x h    insert a greeting at point (numeric argument:
 *                      how many times)
 *      C-x w           count the words, lines and characters of the buffer
 *      C-x Tab         strip the blanks at the end of the current line
 *      Alt-s           center the current line (in the fill column, or
 *                      in the width given as a numeric argument)
 *      C-x g           go to a column (the numeric argument)
 *      C-x t, F4       find the next TODO, FIXME or XXX and color it
 *      C-x C-u         toggle the case of the letters between point and mark
 *      F1              tell the name of the next key pressed
 *      C-x i           indent the next lines (numeric argument: how many)
 *      C-x f, C-x F    set the fill column here, or for every new buffer
 *      C-x r           show or hide the ruler of this window
 *      C-x n           show a framed note in the note colors
 *
 * Compile it with "qxl hello.q" and load the resulting hello.b.
 */

/* ---- Keys ----------------------------------------------------------- */

/* Key codes: a control key is its letter's code less 64 ('@'), an Alt key
 * has 0x100 added to its character, and function key n is 0x200 + n. */
keytable main_keys, ctlx_keys;

/* ---- Colors --------------------------------------------------------- */

/* The note colors, with their defaults, and a class for marked TODOs
 * that has its own colors in the dark and in the light scheme. */
color_class note_text = 0x00c0c0 on 0x000000,
            note_border,
            todo_mark {
                color_scheme "dark" 0xffff00 on 0x202020;
                color_scheme "light" 0x806000 on 0xffffff;
            };

/* A scheme of its own for reading on paper-colored backgrounds. */
color_scheme "paper" {
        color_class note_text 0x000000 on 0xf8f0e0;
        color_class note_border = color_class note_text;
};

/* ---- Settings and state --------------------------------------------- */

char greeting[] = "Hello from QXL";
int greetings_given;                    /* since the editor started */

user int tab_width = 8;                 /* the user may change these */
user char note_prefix[16] = "note: ";
user byte verbose_notes = 1;

volatile int busy;                      /* set while a long command runs */
zeroed int total_indented;              /* starts at 0 in every session */

/* Indentation steps for C-x i: plain text with narrow tabs, plain text,
 * program text. */
short indent_steps[] = { 2, 4, 8, };

/* The markers that C-x t looks for, in order of preference. */
char todo_words[3][8] = { "TODO", "FIXME", "XXX" };
int todo_found[3];                      /* how often each was found */
spot last_todo;                         /* the marker found last */

/* How a note is framed: colors, width and title. */
struct note_style {
        int fg, bg;
        short width;
        char title[12];
} default_style = { 0x00c0c0, 0, 40, "Note" };

typedef struct note_style Style;

buffer int fill_column = 70;            /* each buffer has its own */
buffer char mode_label[12] = "text";
buffer int words_seen;                  /* from the last C-x w */
window short ruler_shown;               /* each window has its own */

/* ---- Helpers -------------------------------------------------------- */

int clamp(int value, int low, int high);
int count_char(char *s, int c);
char *skip_blanks(char *p);
int line_length();
note_message(char *text);

/* Keep value between low and high (old-style parameter list). */
int clamp(value, low, high)
int value, low, high;
{
        if (value < low)
                return low;
        return value > high ? high : value;
}

/* The larger of two numbers; undeclared old-style parameters are ints. */
max_of(a, b)
{
        return a > b ? a : b;
}

/* How many times c occurs in s. */
int count_char(char *s, int c)
{
        int n = 0;

        while (*s)
                if (*s++ == c)
                        n++;
        return n;
}

/* The first character of p that is not a blank or a tab. */
char *skip_blanks(char *p)
{
        while (*p == ' ' || *p == 9)
                p++;
        return p;
}

/* Move point to the start of its line. */
to_line_start()
{
        while (point > 0 && character(point - 1) != '\n')
                point--;
}

/* The length of the current line, without its newline.  Point is
 * restored on the way out. */
int line_length()
{
        int start;

        save_var point;
        to_line_start();
        start = point;
        while (point < size() && curchar() != '\n')
                point++;
        return point - start;
}

/* Show text in the echo area after the user's note prefix, cut to fit. */
note_message(char *text)
{
        char line[80 + 20];
        int room;

        strcpy(line, note_prefix);
        room = sizeof(line) / sizeof(line[0]) - strlen(line) - 1;
        if (strlen(text) > room) {
                strncat(line, text, room - 3);
                strcat(line, "...");
        } else
                strcat(line, text);
        say("%s", line);
}

/* Does this buffer hold program text?  Looks the buffer's mode label up
 * in a list of known languages. */
int is_code_mode()
{
        char *known = "c cpp q java shell";
        char *hit;

        if (!strcmp(mode_label, "text"))
                return 0;
        hit = strstr(known, mode_label);
        return hit != 0;
}

/* ---- Commands ------------------------------------------------------- */

/* Insert a greeting at point and count it. */
command say_hello() on main_keys['h' | 0x100], ctlx_keys['h']
{
        /* A numeric argument repeats the greeting: iter counts down. */
        for (; iter > 0; iter--) {
                stuff(greeting);
                greetings_given++;
        }
        iter = 1;
        if (greetings_given == 1)
                say("%s: first greeting", greeting);
        else if (verbose_notes)
                say("%s (%d greetings so far)", greeting, greetings_given);
}

/* Count the words, lines and characters of the buffer. */
command count_words() on ctlx_keys['w']
{
        int i, words = 0, lines = 0, in_word = 0;
        char msg[80];

        for (i = 0; i < size(); i++) {
                int c = character(i);

                if (c == '\n')
                        lines++;
                if (isspace(c))
                        in_word = 0;
                else if (!in_word) {
                        in_word = 1;
                        words++;
                }
                if (i % 4096 == 0)
                        check_abort();
        }
        words_seen = words;
        sprintf(msg, "%d words, %d lines, %d characters",
                words, lines, size());
        note_message(msg);
}

/* Strip the blanks and tabs at the end of the current line. */
command tidy_line() on ctlx_keys[9]
{
        int end, removed;

        while (point < size() && curchar() != '\n')
                point++;
        end = point;
        while (end > 0 && (character(end - 1) == ' '
                           || character(end - 1) == 9))
                end--;
        removed = point - end;
        if (removed > 0) {
                delete(end, point);
                say("%d blank%s removed", removed, removed == 1 ? "" : "s");
        }
}

/* Center the current line in the fill column, or in the width given by
 * a numeric argument. */
command center_line() on main_keys['s' | 0x100]
{
        int len, pad;
        int width = has_arg ? iter : fill_column;

        to_line_start();
        while (curchar() == ' ' || curchar() == 9)
                delete(point, point + 1);
        len = line_length();
        pad = clamp((width - len) / 2, 0, width);
        while (pad-- > 0)
                insert(' ');
        iter = 1;
}

/* Go to the column given as numeric argument (default: four tabs). */
command goto_column() on ctlx_keys['g']
{
        int col = has_arg ? iter : tab_width * 4;

        move_to_column(clamp(col, 0, window_width - 1));
        iter = 1;
        say("Column %d of %d", current_column(), window_width);
}

/* Find the nearest TODO, FIXME or XXX after point, move to it and color
 * it. */
command find_todo() on ctlx_keys['t'], main_keys[0x204]
{
        int i, start = point, best = -1, which = -1;
        int color = color_class todo_mark;

        for (i = 0; i < 3; i++) {
                point = start;
                if (!search(1, todo_words[i]))
                        continue;
                if (best < 0 || matchstart < best) {
                        best = matchstart;
                        which = i;
                }
        }
        if (which >= 0)
                goto found;
        point = start;
        say("No %s, %s or %s after point",
            todo_words[0], todo_words[1], todo_words[2]);
        return;

found:
        point = best;
        todo_found[which]++;
        set_character_color(best, best + strlen(todo_words[which]), color);
        if (last_todo)
                free_spot(last_todo);
        last_todo = alloc_spot(1);
        say("%s found (%d so far)", todo_words[which], todo_found[which]);
}

/* Toggle the case of every letter between point and mark. */
command toggle_case_region() on ctlx_keys['U' - '@']
{
        spot from, to;
        int c, changed = 0;

        from = alloc_spot(0);
        to = alloc_spot(0);
        *from = point < mark ? point : mark;
        *to = point < mark ? mark : point;
        save_spot point;
        for (point = *from; point < *to; point++) {
                c = curchar();
                if (isupper(c))
                        c = tolower(c);
                else if (islower(c))
                        c = toupper(c);
                else
                        continue;
                replace(point, c);
                changed++;
        }
        free_spot(from);
        free_spot(to);
        say("%d letter%s changed", changed, changed == 1 ? "" : "s");
}

/* Tell the name of the next key pressed. */
command describe_key() on main_keys[0x201]
{
        char name[40];
        int k;

        say("Press a key to describe: ");
        wait_for_key();
        k = key;
        switch (k) {
        case 9:
                strcpy(name, "Tab");
                break;
        case '\n':
        case 'M' - '@':
                strcpy(name, "Enter");
                break;
        case ' ':
                strcpy(name, "Space");
                break;
        case 27:                /* Escape */
                strcpy(name, "Escape");
                break;
        default:
                if (k >= 0x200)
                        sprintf(name, "F%d", k - 0x200);
                else if (k >= 0x100)
                        sprintf(name, "Alt-%c", k - 0x100);
                else if (k < ' ')
                        sprintf(name, "Ctrl-%c", k + '@');
                else
                        sprintf(name, "'%c'", k);
                break;
        }
        say("Key %d is %s", k, name);
}

/* Indent the next lines (the numeric argument says how many) by a step
 * that depends on the buffer: wider in program text. */
command indent_lines() on ctlx_keys['i']
{
        int lines = has_arg ? iter : 1;
        int step, done = 0;

        busy = 1;
        on_exit
                busy = 0;

        step = indent_steps[is_code_mode() ? 2 : tab_width > 4];
        save_var point;
        do {
                int i;

                to_line_start();
                for (i = 0; i < step; i++)
                        insert(' ');
                done++;
        } while (--lines > 0 && nl_forward());
        total_indented += done;
        iter = 1;
        say("%d line%s indented by %d", done, done == 1 ? "" : "s", step);
}

/* Set the fill column from the numeric argument or the current column:
 * C-x f for this buffer, C-x F also for every buffer made from now on. */
command set_fill_column() on ctlx_keys['f'], ctlx_keys['F']
{
        int col = has_arg ? iter : current_column();

        fill_column = clamp(col, 8, 255);
        if (key == 'F')
                fill_column.default = fill_column;
        iter = 1;
        say("Fill column %d, for new buffers %d",
            fill_column, fill_column.default);
}

/* Show or hide the ruler of this window; windows too small for one
 * never show it. */
command toggle_ruler() on ctlx_keys['r']
{
        if (window_height < 3) {
                ruler_shown = 0;
                error("Window too small for a ruler");
        }
        ruler_shown = !ruler_shown;
        say(ruler_shown ? "Ruler on" : "Ruler off");
}

/* Build a frame around text in line, as wide as the style says. */
frame_text(line, st, text)
char *line;
Style *st;
char *text;
{
        char *p = line;
        int i, inner = max_of(st->width, strlen(text) + 2);

        inner = clamp(inner, 4, 80 - 3);        /* room for [, ] and 0 */
        *p++ = '[';
        for (i = 0; i < inner && text[i]; i++)
                *p++ = text[i];
        while (p - line <= inner)
                *p++ = ' ';
        *p++ = ']';
        *p = 0;
}

/* Show the word at point, or the title, framed in the note colors. */
command show_note() on ctlx_keys['n']
{
        char line[80], word[40];
        Style style;
        int color = color_class note_text;

        style = default_style;
        {
                int i = 0, start = point;

                while (i < 40 - 1 && isalpha(character(start + i))) {
                        word[i] = character(start + i);
                        i++;
                }
                word[i] = 0;
        }
        if (!word[0])
                strcpy(word, style.title);
        else if (count_char(word, 'q') + count_char(word, 'Q'))
                style.width = style.width / 2;
        frame_text(line, &style, skip_blanks(word));
        set_character_color(point, point + strlen(word), color);
        note_message(line);
}

/* qxltest.h: assertions for tests run with "qxlrun --test".
 *
 * Each one fails the test through error(): qxlrun reports the message with
 * the file and line of the failed assertion.  The preprocessor cannot turn
 * an argument into a string, so the message shows values; qxlrun reads the
 * assertion's text from that line of the source for the report.  The values of ASSERT_EQ and ASSERT_STR_EQ are evaluated
 * once each, into the variables below, which every file that includes
 * this header shares.
 */
#ifndef QXLTEST_H
#define QXLTEST_H

int qxltest_left, qxltest_right;
char *qxltest_left_text, *qxltest_right_text;

/* Fails with "ASSERT failed" when cond is 0. */
#define ASSERT(cond) \
        do { if (!(cond)) error("ASSERT failed"); } while (0)

/* Fails with the text when cond is 0. */
#define ASSERT_MSG(cond, text) \
        do { if (!(cond)) error("%s", text); } while (0)

/* Compares two ints. */
#define ASSERT_EQ(a, b) \
        do { \
                qxltest_left = (a); \
                qxltest_right = (b); \
                if (qxltest_left != qxltest_right) \
                        error("ASSERT_EQ failed: %d != %d", qxltest_left, \
                              qxltest_right); \
        } while (0)

/* Compares two strings. */
#define ASSERT_STR_EQ(a, b) \
        do { \
                qxltest_left_text = (a); \
                qxltest_right_text = (b); \
                if (strcmp(qxltest_left_text, qxltest_right_text)) \
                        error("ASSERT_STR_EQ failed: \"%s\" != \"%s\"", \
                              qxltest_left_text, qxltest_right_text); \
        } while (0)

#endif

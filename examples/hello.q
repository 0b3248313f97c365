/* hello.q: a small QXL extension for the Quillet editor. */

char greeting[] = "Hello from QXL";
int greetings_given;

// Insert a greeting at point and count it.
command say_hello() on reg_tab[ALT('h')]
{
    stuff(greeting);
    greetings_given += 1;
}

/* Preloaded into the program to stand in for a signature library that cannot
 * be initialised. */
int sodium_init(void)
{
    return -1;
}

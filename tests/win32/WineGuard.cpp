// Ends with a code of its own. Wine without its 32-bit side starts a PE32 as nothing at all
// and reports 0, which would pass every test unseen; this code proves the program ran.
int main()
{
    return 42;
}

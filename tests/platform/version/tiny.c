/* Carries nothing but the version resource linked into it. */
int main(void) { return 0; }

// Linked with one whole layer and the layers below it: it builds only while the layer calls
// nothing above itself.
int main() { return 0; }

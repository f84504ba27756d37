// Carrier of the precompiled test header shared by every test program.

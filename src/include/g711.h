// g711.h — ITU-T G.711 sample conversions: 16-bit linear samples and the A-law and µ-law
// bytes of RTP payload types 8 (PCMA) and 0 (PCMU). Pure functions on single samples.
#pragma once

// Index of the first of size table entries not below value; size when there is none.
int search(int value, const short* table, int size);

unsigned char linear2alaw(int sample);       // 16-bit linear to A-law
int alaw2linear(unsigned char code);         // A-law to 16-bit linear
int ulaw2linear(unsigned char code);         // µ-law to 16-bit linear
unsigned char alaw2ulaw(unsigned char code);
unsigned char ulaw2alaw(unsigned char code);
unsigned char linear2alaw1(int sample);      // A-law from the top 13 bits of a 16-bit sample
unsigned char linear2ulaw(int sample);       // 16-bit linear to µ-law

// Expands a buffer of 1024 silent A-law and µ-law bytes; a check of the expanders.
void test_alaw_ulaw_linear();

/* Blinks an LED on PB0 (pin 12) of an ATtiny2313 clocked by an 8 MHz crystal.
 * The half period, in milliseconds, is the EEPROM image; isp2313 stores an EEPROM file
 * from address 1 on, behind a length byte at address 0. */
#include <avr/eeprom.h>
#include <avr/io.h>
#include <stdint.h>
#include <util/delay.h>

#define LED_BIT            PB0
#define DEFAULT_HALF_PERIOD 500

/* The EEPROM image: this section, as avr-objcopy extracts it, is the EEPROM file. */
const uint16_t half_period_image EEMEM = 250;

#define LENGTH_ADDRESS      ((const uint8_t*)0)
#define HALF_PERIOD_ADDRESS ((const uint16_t*)1)

static uint16_t half_period_ms(void)
{
    uint16_t ms;
    if (eeprom_read_byte(LENGTH_ADDRESS) != sizeof half_period_image)
        return DEFAULT_HALF_PERIOD;
    ms = eeprom_read_word(HALF_PERIOD_ADDRESS);
    return ms == 0 || ms == 0xFFFF ? DEFAULT_HALF_PERIOD : ms;
}

int main(void)
{
    uint16_t half_period = half_period_ms();
    DDRB |= _BV(LED_BIT);
    for (;;) {
        uint16_t ms;
        PORTB ^= _BV(LED_BIT);
        for (ms = 0; ms < half_period; ++ms)
            _delay_ms(1);
    }
}

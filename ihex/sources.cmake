# sources of ihex

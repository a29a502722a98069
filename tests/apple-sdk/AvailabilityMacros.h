/* Included by GoogleTest on Apple platforms; it needs nothing from it here. */
